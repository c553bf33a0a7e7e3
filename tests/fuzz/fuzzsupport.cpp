#include "fuzzsupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "httpmessage.h"

namespace fuzz {

namespace {

// Inputs up to this size are written, and their outputs read, without threads:
// they fit the enlarged socket buffers many times over.
constexpr size_t smallInput = 64 * 1024;
constexpr int socketBuffer = 1024 * 1024;

void enlargeBuffers(int __fd) {
    setsockopt(__fd, SOL_SOCKET, SO_SNDBUF, &socketBuffer, sizeof socketBuffer);
    setsockopt(__fd, SOL_SOCKET, SO_RCVBUF, &socketBuffer, sizeof socketBuffer);
}

// The listener for every stream of the process; never freed, since the
// process ends while inputs may still be run.
HttpSocket& listener() {
    static HttpSocket* socket = [] {
        HttpSocket* made = new HttpSocket;
        if (!made->bind(0) || !made->listen()) {
            std::perror("fuzz listener");
            std::abort();
        }
        // Accepted streams inherit the buffer sizes and the reset on close.
        enlargeBuffers(made->getSocketHandle());
        linger abort{1, 0};
        setsockopt(made->getSocketHandle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return made;
    }();
    return *socket;
}

// Connects a raw stream to the listener and accepts its HttpSocket end. Both
// ends close with a reset, so that millions of streams leave no ports in
// TIME_WAIT behind.
HttpSocket* connectPair(int& __rawFd) {
    HttpSocket& server = listener();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    enlargeBuffers(fd);
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.getLocalPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = fd < 0 ? -1 : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && errno == EINTR) {
        // A signal (libFuzzer's timer) came first; the connect goes on.
        pollfd waiting{fd, POLLOUT, 0};
        while (poll(&waiting, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        result = error == 0 ? 0 : -1;
    }
    if (result != 0) {
        std::perror("fuzz connect");
        std::abort();
    }
    HttpSocket* accepted = server.accept();
    if (!accepted) {
        std::perror("fuzz accept");
        std::abort();
    }
    __rawFd = fd;
    return accepted;
}

// Sends as much of __data from __pos on as the socket takes; blocking or not.
void sendFrom(int __fd, const std::string& __data, size_t& __pos, int __flags) {
    while (__pos < __data.size()) {
        ssize_t sent =
            ::send(__fd, __data.data() + __pos, __data.size() - __pos, MSG_NOSIGNAL | __flags);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return;
        __pos += static_cast<size_t>(sent);
    }
}

void readToEnd(int __fd, std::string& __into) {
    char buffer[65536];
    for (;;) {
        ssize_t count = recv(__fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        __into.append(buffer, static_cast<size_t>(count));
    }
}

enum LineResult { LineOk, LineEnd, LineTooLong };

// One line as HttpSocket reads it: up to LF, CRs dropped.
LineResult readLine(const std::string& __wire, size_t& __pos, std::string& __line) {
    __line.clear();
    while (__pos < __wire.size()) {
        char c = __wire[__pos++];
        if (c == '\n')
            return LineOk;
        if (c == '\r')
            continue;
        __line += c;
        if (__line.size() > HttpSocket::maxLineLength)
            return LineTooLong;
    }
    return LineEnd;
}

} // namespace

Wire::Wire(const std::string& __input) {
    socket = connectPair(peerFd);
    if (__input.size() > smallInput)
        reader = std::thread([this] { readToEnd(peerFd, collected); });
    size_t pos = 0;
    sendFrom(peerFd, __input, pos, MSG_DONTWAIT);
    if (pos == __input.size()) {
        ::shutdown(peerFd, SHUT_WR);
        return;
    }
    pending = __input.substr(pos);
    writer = std::thread([this] {
        size_t written = 0;
        sendFrom(peerFd, pending, written, 0);
        ::shutdown(peerFd, SHUT_WR);
    });
}

std::string Wire::output() {
    if (!ended) {
        ended = true;
        socket->shutdown();
        if (reader.joinable())
            reader.join();
        else
            readToEnd(peerFd, collected);
    }
    return collected;
}

Wire::~Wire() {
    output();
    // Closing resets a connection with input left unread, which ends a writer
    // blocked on it.
    delete socket;
    if (writer.joinable())
        writer.join();
    ::close(peerFd);
}

HeadScan scanHead(const std::string& __wire, size_t __from) {
    HeadScan scan;
    size_t pos = __from;
    std::string line;
    do {
        if (readLine(__wire, pos, line) != LineOk)
            return scan; // NoStartLine
    } while (line.empty());
    scan.startLine = line;
    size_t fields = 0;
    size_t headSize = 0;
    for (;;) {
        LineResult read = readLine(__wire, pos, line);
        if (read == LineTooLong) {
            scan.result = HeadScan::Refused;
            return scan;
        }
        if (read == LineEnd) {
            scan.result = HeadScan::Cut;
            return scan;
        }
        if (line.empty()) {
            scan.result = HeadScan::Whole;
            scan.consumed = pos - __from;
            return scan;
        }
        headSize += line.size() + 2;
        if (fields >= HttpMessage::maxFields || headSize > HttpMessage::maxHeadSize) {
            scan.result = HeadScan::Refused;
            return scan;
        }
        if (line.find(':') != std::string::npos)
            ++fields;
        scan.fieldLines.push_back(line);
    }
}

bool sameName(const std::string& __a, const char* __b) {
    size_t i = 0;
    for (; i < __a.size() && __b[i]; ++i) {
        char a = __a[i], b = __b[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b + 32);
        if (a != b)
            return false;
    }
    return i == __a.size() && !__b[i];
}

bool splitField(const std::string& __line, std::string& __name, std::string& __value) {
    size_t colon = __line.find(':');
    if (colon == std::string::npos)
        return false;
    __name = __line.substr(0, colon);
    size_t begin = __line.find_first_not_of(" \t", colon + 1);
    size_t end = __line.find_last_not_of(" \t");
    __value =
        begin == std::string::npos || end < begin ? "" : __line.substr(begin, end + 1 - begin);
    return true;
}

std::vector<std::string> fieldValues(const std::vector<std::string>& __lines, const char* __name) {
    std::vector<std::string> values;
    std::string name, value;
    for (const std::string& line : __lines)
        if (splitField(line, name, value) && sameName(name, __name))
            values.push_back(value);
    return values;
}

bool spacedName(const std::vector<std::string>& __lines, const char* __name) {
    std::string name, value;
    for (const std::string& line : __lines) {
        if (!splitField(line, name, value))
            continue;
        size_t end = name.find_last_not_of(" \t") + 1;
        if (end < name.size() && sameName(name.substr(0, end), __name))
            return true;
    }
    return false;
}

bool plainDecimal(const std::string& __text, uint64_t& __number) {
    size_t begin = __text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return false;
    size_t end = __text.find_last_not_of(" \t") + 1;
    // Leading zeros aside, more than 20 digits never fit; 20 digits may not.
    __number = 0;
    for (size_t i = begin; i < end; ++i) {
        if (__text[i] < '0' || __text[i] > '9')
            return false;
        unsigned __int128 next = static_cast<unsigned __int128>(__number) * 10 + (__text[i] - '0');
        if (next > UINT64_MAX)
            return false;
        __number = static_cast<uint64_t>(next);
    }
    return true;
}

bool lastCodingChunked(const std::vector<std::string>& __values) {
    if (__values.empty())
        return false;
    const std::string& last = __values.back();
    size_t end = last.find_last_not_of(" \t");
    if (end == std::string::npos)
        return false;
    size_t begin = last.find_last_of(" \t,", end);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return sameName(last.substr(begin, end + 1 - begin), "chunked");
}

bool splitSentHead(const std::string& __wire, std::string& __startLine,
                   std::vector<std::string>& __fieldLines, size_t& __size) {
    __fieldLines.clear();
    size_t pos = 0;
    bool first = true;
    for (;;) {
        size_t end = __wire.find("\r\n", pos);
        if (end == std::string::npos)
            return false;
        std::string line = __wire.substr(pos, end - pos);
        if (line.find_first_of("\r\n") != std::string::npos)
            return false;
        pos = end + 2;
        if (first) {
            __startLine = line;
            first = false;
        } else if (line.empty()) {
            __size = pos;
            return true;
        } else {
            __fieldLines.push_back(line);
        }
    }
}

ChunkScan scanChunked(const std::string& __wire, size_t __from) {
    ChunkScan scan;
    size_t pos = __from;
    std::string line;
    for (;;) {
        if (readLine(__wire, pos, line) != LineOk)
            return scan;
        // The size: blanks, an optional 0x, hex digits up to another character.
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos)
            at = line.size();
        if (line.size() - at >= 2 && line[at] == '0' &&
            (line[at + 1] == 'x' || line[at + 1] == 'X'))
            at += 2;
        unsigned __int128 size = 0;
        for (; at < line.size(); ++at) {
            char c = line[at];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                break;
            size = size * 16 + static_cast<unsigned>(digit);
            if (size > UINT64_MAX)
                return scan; // does not fit 64 bits
        }
        char hex[20];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(size));
        scan.framed += std::string(hex) + "\r\n";
        if (size == 0)
            break;
        size_t left = __wire.size() - pos;
        size_t take = size < left ? static_cast<size_t>(size) : left;
        scan.data.append(__wire, pos, take);
        scan.framed.append(__wire, pos, take);
        pos += take;
        if (take < size)
            return scan;
        if (readLine(__wire, pos, line) != LineOk || !line.empty())
            return scan;
        scan.framed += "\r\n";
    }
    // The trailer, counted as the relay counts it: every line with its line
    // end, the closing empty line too.
    size_t trailerSize = 0;
    for (size_t lines = 0;; ++lines) {
        if (readLine(__wire, pos, line) != LineOk)
            return scan;
        trailerSize += line.size() + 2;
        if (lines > HttpMessage::maxFields || trailerSize > HttpMessage::maxHeadSize)
            return scan;
        scan.framed += line + "\r\n";
        if (line.empty()) {
            scan.whole = true;
            scan.consumed = pos - __from;
            return scan;
        }
    }
}

ChunkScan scanStrictChunked(const std::string& __wire) {
    ChunkScan scan;
    size_t pos = 0;
    auto strictLine = [&](std::string& __line) {
        size_t end = __wire.find("\r\n", pos);
        if (end == std::string::npos)
            return false;
        __line = __wire.substr(pos, end - pos);
        pos = end + 2;
        return __line.find_first_of("\r\n") == std::string::npos;
    };
    std::string line;
    for (;;) {
        if (!strictLine(line))
            return scan;
        size_t digits = line.find_first_not_of("0123456789abcdefABCDEF");
        if (digits == 0)
            return scan;
        if (digits != std::string::npos) {
            size_t extension = line.find_first_not_of(" \t", digits);
            if (extension == std::string::npos || line[extension] != ';')
                return scan;
        } else {
            digits = line.size();
        }
        unsigned __int128 size = 0;
        for (size_t i = 0; i < digits; ++i) {
            char c = line[i];
            size = size * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            if (size > UINT64_MAX)
                return scan;
        }
        if (size == 0)
            break;
        if (__wire.size() - pos < size)
            return scan;
        scan.data.append(__wire, pos, static_cast<size_t>(size));
        pos += static_cast<size_t>(size);
        if (!strictLine(line) || !line.empty())
            return scan;
    }
    for (;;) {
        if (!strictLine(line))
            return scan;
        if (line.empty()) {
            scan.whole = true;
            scan.consumed = pos;
            return scan;
        }
    }
}

bool isPrefix(const std::string& __prefix, const std::string& __whole) {
    return __prefix.size() <= __whole.size() && __whole.compare(0, __prefix.size(), __prefix) == 0;
}

} // namespace fuzz
