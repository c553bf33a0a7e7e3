// Helpers of the end-to-end tests, which run the shoal binary on port 1998
// and drive it with real clients: random bodies, byte comparisons, lines and
// head fields, curl runs, and the shoal process itself.
#ifndef SHOAL_E2E_H
#define SHOAL_E2E_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "httpserver.h"
#include "nginx.h"
#include "process.h"

namespace test {

// Where clients reach the shoal under test.
inline const std::string proxyAddress = "127.0.0.1:" + std::to_string(HttpServer::proxyPort);

// A generous limit for one client transfer: it only turns a hang into a
// failure.
constexpr int clientTimeoutSeconds = 30;

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

// What the tests of one suite share, made once by its SetUpTestSuite: a
// scratch directory, a private nginx and the shoal under test.
struct ShoalSuite {
    TempDir dir;
    NginxOrigin nginx;
    ChildProcess shoal;
    std::string error; // why the set-up failed; empty when it did not
};

// The base of the end-to-end fixtures. Every test looks only at the console
// lines made since it began, and fails when shoal has ended under it.
class ShoalTest : public testing::Test {
protected:
    // Makes the suite: nginx with __directives in its server blocks (and a
    // TLS server with __tls), then __serve(root), which writes the served
    // files and returns "" or why it could not, then shoal.
    static void setUpSuite(const std::string& __directives, bool __tls,
                           const std::function<std::string(const std::string&)>& __serve);
    // Stops shoal and nginx; fails when shoal's stderr holds a sanitizer
    // report or shoal did not exit with status 0.
    static void tearDownSuite();

    void SetUp() override;
    void TearDown() override;

    static std::string consolePath() { return file("shoal.out"); }
    static std::string file(const std::string& __name) { return suite->dir.file(__name); }
    static std::string served(const std::string& __name) {
        return readFile(suite->nginx.root() + "/" + __name);
    }
    static std::string url(const std::string& __path) {
        return "http://127.0.0.1:" + std::to_string(suite->nginx.port()) + __path;
    }
    // The console lines shoal has printed since this test began.
    std::vector<std::string> consoleLines() const;

    static ShoalSuite* suite; // made by setUpSuite, deleted by tearDownSuite
    size_t consoleOffset = 0;
};

} // namespace test

#endif
