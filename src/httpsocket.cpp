#include "httpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

std::atomic<int> HttpSocket::connectTimeoutMs{30 * 1000};

HttpSocket::~HttpSocket() {
    if (socketHandle != -1)
        ::close(socketHandle);
}

bool HttpSocket::createSocket() {
    socketHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return socketHandle != -1;
}

// A head and the body behind it go out as separate sends: without this, the
// second would wait for the peer's delayed acknowledgement of the first.
static void sendWithoutDelay(int __handle) {
    int yes = 1;
    setsockopt(__handle, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

bool HttpSocket::bind(int __port) {
    if (socketHandle == -1) {
        if (!createSocket())
            return false;
        int yes = 1;
        setsockopt(socketHandle, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    }
    std::memset(&localAddress, 0, sizeof localAddress);
    localAddress.sin_family = AF_INET;
    localAddress.sin_port = htons(static_cast<uint16_t>(__port));
    localAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(socketHandle, reinterpret_cast<sockaddr*>(&localAddress), sizeof localAddress) ==
           0;
}

bool HttpSocket::listen() {
    return ::listen(socketHandle, backlog) == 0;
}

HttpSocket* HttpSocket::accept() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int handle;
    do {
        handle =
            ::accept4(socketHandle, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR && !shut.load());
    if (handle < 0)
        return nullptr;
    sendWithoutDelay(handle);
    HttpSocket* sock = new HttpSocket;
    sock->socketHandle = handle;
    sock->remoteAddress = address;
    return sock;
}

// Resolves __host into an IPv4 address: dotted numbers directly, names
// through getaddrinfo, which, unlike gethostbyname, is safe with one thread
// per connection.
static bool resolveAddress(const std::string& __host, in_addr& __address) {
    __address.s_addr = inet_addr(__host.c_str());
    if (__address.s_addr != INADDR_NONE)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (__host.empty() || getaddrinfo(__host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    __address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

bool HttpSocket::connect(std::string __host, int __port) {
    if (socketHandle == -1 && !createSocket())
        return false;
    if (shut.load() || __port < 1 || __port > 65535)
        return false;
    std::memset(&remoteAddress, 0, sizeof remoteAddress);
    remoteAddress.sin_family = AF_INET;
    remoteAddress.sin_port = htons(static_cast<uint16_t>(__port));
    if (!resolveAddress(__host, remoteAddress.sin_addr))
        return false;

    // Connect without blocking, so that an origin that never answers is given
    // up after connectTimeoutMs.
    int flags = fcntl(socketHandle, F_GETFL);
    fcntl(socketHandle, F_SETFL, flags | O_NONBLOCK);
    int result =
        ::connect(socketHandle, reinterpret_cast<sockaddr*>(&remoteAddress), sizeof remoteAddress);
    if (result != 0 && errno == EINPROGRESS) {
        // In slices, so that a shutdown() from another thread that came just
        // before the connect began is seen within one slice.
        pollfd waiting{socketHandle, POLLOUT, 0};
        int ready = 0;
        for (int waited = 0; ready == 0 && waited < connectTimeoutMs.load() && !shut.load();
             waited += connectSliceMs) {
            ready = poll(&waiting, 1, connectSliceMs);
            if (ready < 0 && errno == EINTR)
                ready = 0;
        }
        int error = ETIMEDOUT;
        socklen_t length = sizeof error;
        if (ready == 1)
            getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, &error, &length);
        result = error == 0 ? 0 : -1;
    }
    fcntl(socketHandle, F_SETFL, flags);
    if (result != 0)
        return false;
    sendWithoutDelay(socketHandle);
    return true;
}

bool HttpSocket::receive(std::string& __buffer) {
    __buffer.clear();
    for (;;) {
        if (aheadBegin == aheadEnd && !fillReadAhead())
            return false;
        const char* begin = readAhead.get() + aheadBegin;
        const char* end = readAhead.get() + aheadEnd;
        const char* lineEnd = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
        const char* stop = lineEnd ? lineEnd : end;
        for (const char* run = begin; run < stop;) {
            const char* cr = static_cast<const char*>(std::memchr(run, '\r', stop - run));
            const char* runEnd = cr ? cr : stop;
            __buffer.append(run, static_cast<size_t>(runEnd - run));
            run = cr ? cr + 1 : stop;
        }
        int taken = static_cast<int>(stop - begin) + (lineEnd ? 1 : 0);
        aheadBegin += taken;
        receivedBytes += static_cast<uint64_t>(taken);
        if (__buffer.size() > maxLineLength)
            return false;
        if (lineEnd)
            return true;
    }
}

bool HttpSocket::fillReadAhead() {
    if (shut.load() || socketHandle == -1)
        return false;
    if (!readAhead) {
        readAhead.reset(new (std::nothrow) char[readAheadSize]);
        if (!readAhead)
            return false;
    }
    int count = receiveFromHandle(readAhead.get(), readAheadSize);
    if (count <= 0)
        return false;
    aheadBegin = 0;
    aheadEnd = count;
    return true;
}

bool HttpSocket::send(const std::string& __buffer) {
    std::string line = __buffer + "\r\n";
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
        int sent = send(data, chunk);
        if (sent <= 0)
            return false;
        data += sent;
        left -= static_cast<size_t>(sent);
    }
    return true;
}

int HttpSocket::receive(char* __data, int __size) {
    if (shut.load() || socketHandle == -1)
        return -1;
    int count;
    if (aheadBegin < aheadEnd) {
        count = __size < aheadEnd - aheadBegin ? __size : aheadEnd - aheadBegin;
        std::memcpy(__data, readAhead.get() + aheadBegin, static_cast<size_t>(count));
        aheadBegin += count;
    } else {
        count = receiveFromHandle(__data, __size);
    }
    if (count > 0)
        receivedBytes += static_cast<uint64_t>(count);
    return count;
}

int HttpSocket::receiveFromHandle(char* __data, int __size) {
    ssize_t count;
    do {
        count = ::recv(socketHandle, __data, static_cast<size_t>(__size), 0);
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

bool HttpSocket::waitReadable(int __milliseconds) {
    pollfd waiting{getSocketHandle(), POLLIN, 0};
    if (waiting.fd < 0)
        return false;
    if (getBufferedBytes() > 0)
        return true;
    int ready;
    do {
        ready = poll(&waiting, 1, __milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool HttpSocket::hasPendingBytes() const {
    if (getBufferedBytes() > 0)
        return true;
    int arrived = 0;
    return socketHandle != -1 && ioctl(socketHandle, FIONREAD, &arrived) == 0 && arrived > 0;
}

int HttpSocket::send(const char* __data, int __size, bool __more) {
    if (shut.load() || socketHandle == -1)
        return -1;
    // MSG_NOSIGNAL: a peer that has gone away fails the send, it does not
    // raise SIGPIPE.
    int flags = MSG_NOSIGNAL | (__more ? MSG_MORE : 0);
    ssize_t count;
    do {
        count = ::send(socketHandle, __data, static_cast<size_t>(__size), flags);
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

void HttpSocket::shutdown() {
    if (shut.exchange(true))
        return;
    int handle = socketHandle.load();
    if (handle != -1)
        ::shutdown(handle, SHUT_RDWR);
}

void HttpSocket::setTimeout(int __milliseconds) {
    timeval limit{__milliseconds / 1000, (__milliseconds % 1000) * 1000};
    setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socketHandle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int HttpSocket::getSocketHandle() const {
    return shut.load() ? -1 : socketHandle.load();
}

int HttpSocket::getLocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (socketHandle == -1 ||
        getsockname(socketHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool HttpSocket::leadsToLocalPort(int __port) const {
    sockaddr_in peer{}, local{};
    socklen_t peerLength = sizeof peer, localLength = sizeof local;
    if (socketHandle == -1 ||
        getpeername(socketHandle, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        getsockname(socketHandle, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
        return false;
    if (ntohs(peer.sin_port) != __port)
        return false;
    uint32_t address = ntohl(peer.sin_addr.s_addr);
    return (address >> 24) == 127 || address == INADDR_ANY ||
           peer.sin_addr.s_addr == local.sin_addr.s_addr;
}
