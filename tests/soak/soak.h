// Helpers of the soak tests: the process limits they need, settings read from
// the environment, fast reproducible bodies, and raw HTTP through the proxy.
#ifndef SHOAL_SOAK_H
#define SHOAL_SOAK_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "e2e.h"

namespace soak {

// Raises the soft limit of open descriptors to the hard limit (children, such
// as shoal and nginx, inherit it). Fails the test when even the hard limit is
// below __needed.
testing::AssertionResult raiseDescriptorLimit(uint64_t __needed);

// The base of the soak suites against the shoal binary.
class SoakTest : public test::ShoalTest {
protected:
    // Raises the descriptor limit to __descriptors before nginx and shoal
    // start, so that they inherit it, then makes the suite with a plain nginx
    // whose files __serve writes.
    static void setUpSoakSuite(uint64_t __descriptors,
                               const std::function<std::string(const std::string&)>& __serve);
    static void TearDownTestSuite() { tearDownSuite(); }
};

// The decimal number in the environment variable __name, or __default when it
// is unset or not a number.
uint64_t environmentNumber(const char* __name, uint64_t __default);

// __size bytes that depend only on __seed: every run's bodies are made again
// from their seed by the origin and by the client that checks them, and the
// generator is fast enough for megabytes per run.
std::string patternBytes(size_t __size, uint64_t __seed);

// A GET for http://127.0.0.1:__port__path as a proxy takes it, kept alive.
std::string proxyGet(int __port, const std::string& __path);

// The parts of a response head that the soak clients check.
struct ResponseHead {
    int status = 0;
    long long contentLength = -1; // -1 when there is no Content-Length
    bool chunked = false;         // a Transfer-Encoding field was passed on
};
// Parses __head (up to and including its empty line). False when it does not
// begin with an HTTP status line.
bool parseHead(const std::string& __head, ResponseHead& __parsed);

// Connects to the proxy on 127.0.0.1:__port, then waits until the proxy's
// process (__pid, 0 for this one) runs one thread more than before, that is
// until it has accepted the connection and started its thread, so that every
// connection of a load is known to be served before the load begins. Waits
// at most a second. The socket, or -1 when the connect failed.
int connectAccepted(int __port, int __pid);

// Reads from __fd until the peer closes, __limit bytes have arrived, or
// __timeoutMs pass without a byte. True when the peer closed (or reset) the
// connection; what arrived before is appended to __data.
bool readToClose(int __fd, std::string& __data, size_t __limit, int __timeoutMs);

// Closes __fd, with a reset instead of a clean end when __reset.
void closeSocket(int __fd, bool __reset);

using Clock = std::chrono::steady_clock;
inline long long millisecondsSince(Clock::time_point __start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - __start).count();
}

} // namespace soak

#endif
