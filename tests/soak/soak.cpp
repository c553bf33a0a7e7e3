#include "soak.h"

#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "e2e.h"
#include "testsupport.h"

namespace soak {

void SoakTest::setUpSoakSuite(uint64_t __descriptors,
                              const std::function<std::string(const std::string&)>& __serve) {
    testing::AssertionResult limit = raiseDescriptorLimit(__descriptors);
    if (!limit) {
        suite = new test::ShoalSuite;
        suite->error = limit.message();
        return;
    }
    setUpSuite("", false, __serve);
}

testing::AssertionResult raiseDescriptorLimit(uint64_t __needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return testing::AssertionFailure() << "getrlimit: " << std::strerror(errno);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return testing::AssertionFailure() << "setrlimit: " << std::strerror(errno);
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < __needed)
        return testing::AssertionFailure()
               << "the soak needs " << __needed << " open descriptors per process, and the hard "
               << "limit is " << limit.rlim_max << " (ulimit -Hn)";
    return testing::AssertionSuccess();
}

uint64_t environmentNumber(const char* __name, uint64_t __default) {
    const char* text = std::getenv(__name);
    if (!text || !*text)
        return __default;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : __default;
}

std::string patternBytes(size_t __size, uint64_t __seed) {
    std::string data(__size, '\0');
    uint64_t state = __seed;
    for (size_t at = 0; at < __size; at += 8) {
        // splitmix64: every step gives eight well-mixed bytes.
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        std::memcpy(&data[at], &z, __size - at < 8 ? __size - at : 8);
    }
    return data;
}

std::string proxyGet(int __port, const std::string& __path) {
    std::string host = "127.0.0.1:" + std::to_string(__port);
    return "GET http://" + host + __path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

bool parseHead(const std::string& __head, ResponseHead& __parsed) {
    __parsed = ResponseHead();
    if (__head.compare(0, 5, "HTTP/") != 0)
        return false;
    size_t space = __head.find(' ');
    if (space == std::string::npos)
        return false;
    __parsed.status = std::atoi(__head.c_str() + space + 1);
    std::string length = test::headerValue(__head, "Content-Length");
    if (!length.empty())
        __parsed.contentLength = std::atoll(length.c_str());
    __parsed.chunked = !test::headerValue(__head, "Transfer-Encoding").empty();
    return true;
}

int connectAccepted(int __port, int __pid) {
    int threads = test::threadCount(__pid);
    int fd = test::connectTo(__port);
    Clock::time_point start = Clock::now();
    while (fd >= 0 && test::threadCount(__pid) <= threads && millisecondsSince(start) < 1000)
        usleep(100);
    return fd;
}

bool readToClose(int __fd, std::string& __data, size_t __limit, int __timeoutMs) {
    char buffer[65536];
    while (__data.size() < __limit) {
        pollfd waiting{__fd, POLLIN, 0};
        if (poll(&waiting, 1, __timeoutMs) <= 0)
            return false;
        size_t wanted = __limit - __data.size();
        ssize_t n = recv(__fd, buffer, wanted < sizeof buffer ? wanted : sizeof buffer, 0);
        if (n <= 0)
            return true;
        __data.append(buffer, static_cast<size_t>(n));
    }
    return false;
}

void closeSocket(int __fd, bool __reset) {
    if (__reset) {
        linger abort{1, 0};
        setsockopt(__fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(__fd);
}

} // namespace soak
