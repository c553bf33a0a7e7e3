// Helpers of the end-to-end tests, which run the shoal binary on port 1998
// and drive it with real clients: random bodies, byte comparisons, lines and
// head fields, curl runs, and the shoal process itself.
#ifndef SHOAL_E2E_H
#define SHOAL_E2E_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "httpserver.h"
#include "process.h"

namespace test {

// Where clients reach the shoal under test.
inline const std::string proxyAddress = "127.0.0.1:" + std::to_string(HttpServer::proxyPort);

// A generous limit for one client transfer: it only turns a hang into a
// failure.
constexpr int clientTimeoutSeconds = 30;

// __size bytes drawn from a generator seeded with __seed.
std::string randomBytes(size_t __size, unsigned __seed);

// Equal bytes, or where the two first differ (never the bytes themselves:
// bodies are megabytes long).
testing::AssertionResult sameBytes(const std::string& __expected, const std::string& __actual);

// The lines of __text, each without its "\r\n" or "\n".
std::vector<std::string> splitLines(const std::string& __text);
bool contains(const std::string& __text, const std::string& __part);
// The value of the first field __name (any letter case) in a head, or "".
std::string headerValue(const std::string& __head, const std::string& __name);

// curl with its configuration files ignored. __args are the options and URLs
// of one or more transfers (separated by "--next", which resets options),
// each of which gets __timeoutSeconds as its time limit.
CommandResult curl(const std::vector<std::string>& __args,
                   int __timeoutSeconds = clientTimeoutSeconds,
                   const std::string& __stdinPath = std::string());

// Starts the shoal binary with its console in __stdoutPath and its standard
// error in __stderrPath, and waits until it listens on port 1998. "" when it
// does; otherwise why not.
std::string startShoal(ChildProcess& __shoal, const std::string& __stdoutPath,
                       const std::string& __stderrPath);
// True when __stderr (a shoal's standard error) holds a sanitizer report.
bool hasSanitizerReport(const std::string& __stderr);

} // namespace test

#endif
