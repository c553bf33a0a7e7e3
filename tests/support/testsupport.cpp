#include "testsupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

#include "process.h"

namespace test {

std::string randomBytes(size_t __size, unsigned __seed) {
    std::mt19937 generator(__seed);
    std::string data(__size, '\0');
    for (char& c : data)
        c = static_cast<char>(generator() & 0xff);
    return data;
}

namespace {

sockaddr_in loopback(int __port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(__port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int listenLoopback(int& __port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    __port = ntohs(address.sin_port);
    return fd;
}

// Waits until __fd is readable; false when __timeoutMs passed first.
bool waitReadable(int __fd, int __timeoutMs) {
    pollfd waiting{__fd, POLLIN, 0};
    return poll(&waiting, 1, __timeoutMs) > 0;
}

} // namespace

int freePort() {
    int port = 0;
    int fd = listenLoopback(port);
    ::close(fd);
    return port;
}

int connectTo(int __port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(__port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int __fd, const std::string& __data) {
    size_t sent = 0;
    while (sent < __data.size()) {
        ssize_t n = ::send(__fd, __data.data() + sent, __data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string readAll(int __fd, int __timeoutMs) {
    std::string data;
    char buffer[65536];
    while (waitReadable(__fd, __timeoutMs)) {
        ssize_t n = recv(__fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

std::string readUntil(int __fd, const std::string& __marker, int __timeoutMs) {
    std::string data;
    char byte;
    while (data.size() < __marker.size() ||
           data.compare(data.size() - __marker.size(), __marker.size(), __marker) != 0) {
        if (!waitReadable(__fd, __timeoutMs) || recv(__fd, &byte, 1, 0) != 1)
            break;
        data += byte;
    }
    return data;
}

std::string readExactly(int __fd, size_t __size, int __timeoutMs) {
    std::string data;
    char buffer[65536];
    while (data.size() < __size && waitReadable(__fd, __timeoutMs)) {
        size_t wanted = std::min(sizeof buffer, __size - data.size());
        ssize_t n = recv(__fd, buffer, wanted, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

bool waitClosed(int __fd, int __timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(__timeoutMs);
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !waitReadable(__fd, static_cast<int>(left)))
            return false;
        if (recv(__fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
}

TcpPair::TcpPair() {
    HttpSocket listener;
    listener.bind(0);
    listener.listen();
    near.reset(new HttpSocket);
    near->connect("127.0.0.1", listener.getLocalPort());
    far.reset(listener.accept());
}

void OriginConnection::close() {
    ::shutdown(fd, SHUT_RDWR);
}

std::string OriginConnection::readHead() {
    char buffer[4096];
    for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            return head;
        }
        if (!waitReadable(fd, 10000))
            return std::string();
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return std::string();
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string OriginConnection::readBytes(size_t __size) {
    char buffer[4096];
    while (pending.size() < __size && waitReadable(fd, 10000)) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
    }
    std::string data = pending.substr(0, __size);
    pending.erase(0, data.size());
    return data;
}

ScriptedOrigin::ScriptedOrigin(Handler __handler) : handler(std::move(__handler)) {
    listenFd = listenLoopback(listenPort);
    acceptor = std::thread([this] { acceptLoop(); });
}

ScriptedOrigin::~ScriptedOrigin() {
    stopping.store(true);
    ::shutdown(listenFd, SHUT_RDWR);
    acceptor.join();
    ::close(listenFd);
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (int fd : fds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& thread : threads)
        thread.join();
}

void ScriptedOrigin::acceptLoop() {
    while (!stopping.load()) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping.load())
                return;
            continue;
        }
        int index = accepted.fetch_add(1);
        std::lock_guard<std::mutex> guard(mutex);
        fds.push_back(fd);
        threads.emplace_back([this, fd, index] {
            {
                OriginConnection connection(fd);
                handler(connection, index);
            }
            // Closed only here, once no other thread can still shut it down.
            std::lock_guard<std::mutex> guard(mutex);
            fds.erase(std::find(fds.begin(), fds.end(), fd));
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        });
    }
}

InProcessProxy::InProcessProxy() : server(0) {
    std::string error;
    server.openListener(error);
    proxyPort = server.getPort();
    server.startThread();
}

InProcessProxy::~InProcessProxy() {
    server.stop();
    server.joinThread();
}

int openDescriptors(int __pid) {
    std::string path = __pid ? "/proc/" + std::to_string(__pid) + "/fd" : "/proc/self/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

int threadCount(int __pid) {
    std::string path = __pid ? "/proc/" + std::to_string(__pid) + "/status" : "/proc/self/status";
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 8, "Threads:") == 0)
            return std::stoi(line.substr(8));
    return -1;
}

Figures figuresOf(int __pid) {
    return Figures{threadCount(__pid), openDescriptors(__pid)};
}

Figures idleFigures(int __pid, int __ms) {
    Figures lowest = figuresOf(__pid);
    waitUntil(
        [&] {
            Figures now = figuresOf(__pid);
            lowest.threads = std::min(lowest.threads, now.threads);
            lowest.descriptors = std::min(lowest.descriptors, now.descriptors);
            return false;
        },
        __ms);
    return lowest;
}

bool waitForFigures(int __pid, const Figures& __limit, int __margin, int __timeoutMs,
                    Figures& __seen) {
    return waitUntil(
        [&] {
            __seen = figuresOf(__pid);
            return __seen.threads <= __limit.threads + __margin &&
                   __seen.descriptors <= __limit.descriptors + __margin;
        },
        __timeoutMs);
}

std::ostream& operator<<(std::ostream& __out, const Figures& __figures) {
    return __out << __figures.threads << " threads, " << __figures.descriptors << " descriptors";
}

} // namespace test
