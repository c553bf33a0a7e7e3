#include "e2e.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "testsupport.h"

namespace test {

testing::AssertionResult sameBytes(const std::string& __expected, const std::string& __actual) {
    if (__expected == __actual)
        return testing::AssertionSuccess();
    auto diff =
        std::mismatch(__expected.begin(), __expected.end(), __actual.begin(), __actual.end());
    return testing::AssertionFailure()
           << "expected " << __expected.size() << " bytes, got " << __actual.size()
           << ", first difference at byte " << (diff.first - __expected.begin());
}

std::vector<std::string> splitLines(const std::string& __text) {
    std::vector<std::string> lines;
    std::istringstream in(__text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool contains(const std::string& __text, const std::string& __part) {
    return __text.find(__part) != std::string::npos;
}

std::string headerValue(const std::string& __head, const std::string& __name) {
    for (const std::string& line : splitLines(__head)) {
        size_t colon = line.find(':');
        if (colon == __name.size() && strncasecmp(line.c_str(), __name.c_str(), colon) == 0) {
            size_t begin = line.find_first_not_of(" \t", colon + 1);
            return begin == std::string::npos ? "" : line.substr(begin);
        }
    }
    return "";
}

CommandResult curl(const std::vector<std::string>& __args, int __timeoutSeconds,
                   const std::string& __stdinPath) {
    const std::vector<std::string> limit = {"--max-time", std::to_string(__timeoutSeconds)};
    std::vector<std::string> argv = {"curl", "-q"};
    argv.insert(argv.end(), limit.begin(), limit.end());
    int transfers = 1;
    for (const std::string& arg : __args) {
        argv.push_back(arg);
        if (arg == "--next") {
            argv.insert(argv.end(), limit.begin(), limit.end());
            ++transfers;
        }
    }
    return runCommand(argv, (transfers * __timeoutSeconds + 30) * 1000, __stdinPath);
}

std::string startShoal(ChildProcess& __shoal, const std::string& __stdoutPath,
                       const std::string& __stderrPath) {
    // Another process on the port would answer in its place.
    int holder = connectTo(HttpServer::proxyPort);
    if (holder >= 0) {
        ::close(holder);
        return "port " + std::to_string(HttpServer::proxyPort) +
               " is already taken by another process";
    }
    if (__shoal.start({SHOAL_BINARY}, __stdoutPath, __stderrPath) &&
        waitForPort(HttpServer::proxyPort, 10000, [&__shoal] { return __shoal.isRunning(); }))
        return "";
    return "shoal did not start listening on " + proxyAddress + "; its stderr:\n" +
           readFile(__stderrPath);
}

bool hasSanitizerReport(const std::string& __stderr) {
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                               "runtime error:", "ThreadSanitizer"})
        if (contains(__stderr, report))
            return true;
    return false;
}

ShoalSuite* ShoalTest::suite = nullptr;

void ShoalTest::setUpSuite(const std::string& __directives, bool __tls,
                           const std::function<std::string(const std::string&)>& __serve) {
    suite = new ShoalSuite;
    if (suite->dir.path().empty()) {
        suite->error = "cannot make a scratch directory";
        return;
    }
    std::string error;
    if (!suite->nginx.start(suite->dir.file("nginx"), __directives, __tls, error)) {
        suite->error = "nginx did not start: " + error;
        return;
    }
    suite->error = __serve(suite->nginx.root());
    if (suite->error.empty())
        suite->error = startShoal(suite->shoal, consolePath(), file("shoal.err"));
}

void ShoalTest::tearDownSuite() {
    if (!suite)
        return;
    // SIGTERM: shoal closes every connection and exits with 0, after the leak
    // check of an AddressSanitizer build.
    int status = suite->shoal.stop(30000);
    std::string err = readFile(file("shoal.err"));
    if (hasSanitizerReport(err))
        ADD_FAILURE() << "shoal's stderr holds a sanitizer report:\n" << err;
    EXPECT_EQ(status, 0) << "shoal did not stop cleanly on SIGTERM; its stderr:\n" << err;
    suite->nginx.stop();
    delete suite;
    suite = nullptr;
}

void ShoalTest::SetUp() {
    ASSERT_TRUE(suite && suite->error.empty()) << (suite ? suite->error : "no set-up");
    consoleOffset = readFile(consolePath()).size();
}

// A crash in one test must fail that test, not the ones after it.
void ShoalTest::TearDown() {
    if (suite && suite->error.empty()) {
        EXPECT_TRUE(suite->shoal.isRunning()) << "shoal ended; its stderr:\n"
                                              << readFile(file("shoal.err"));
    }
}

std::vector<std::string> ShoalTest::consoleLines() const {
    return splitLines(readFile(consolePath()).substr(consoleOffset));
}

} // namespace test
