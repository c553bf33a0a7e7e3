// Fault soak of the shoal binary on port 1998: a thousand exchanges (more with
// SHOAL_SOAK_RUNS), several at a time, each broken at one phase chosen at
// random: the origin closes before its status line, inside its head, inside
// its body, inside a chunk size line, or cuts short every answer of an
// accelerated transfer (inside its body, now and then inside its head); the
// client closes before its head is complete, right after it, or in the middle
// of a plain, chunked, tunnelled or accelerated body. Whatever reaches the client must be right,
// byte for byte; a truncated answer must end in a closed connection; and afterwards shoal must be
// back to the descriptors and threads it had before and still serve a whole download.
//
// The plan of each run follows from the seed (printed; SHOAL_SOAK_SEED sets
// it) and the run's number, so a failing run can be replayed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e.h"
#include "httpserver.h"
#include "soak.h"
#include "testsupport.h"

namespace {

constexpr uint64_t defaultRuns = 1000;
// Runs under way at once, and runs served by one scripted origin (which keeps
// the threads of its connections until it is destroyed).
constexpr int concurrentRuns = 16;
constexpr uint64_t runsPerOrigin = 250;
constexpr uint64_t descriptorsNeeded = 1024;
// Limits that only turn a hang into a failure.
constexpr int answerTimeoutMs = 30 * 1000;
constexpr int settleTimeoutMs = 30 * 1000;
// Descriptors and threads that shoal may hold beyond its figures before the
// loop once it is idle again.
constexpr int margin = 2;

constexpr size_t largeBody = 1024 * 1024;
const char largeFile[] = "large.bin"; // served by nginx as application/octet-stream
const std::string& largeContent() {
    static const std::string content = soak::patternBytes(largeBody, 1998);
    return content;
}
constexpr size_t smallestAccelerated = 65536 + 1;

enum class Fault {
    originClosesBeforeStatus,
    originClosesInHead,
    originClosesInBody,
    originClosesInChunkSize,
    originCutsRangeAnswers,
    clientClosesBeforeHead,
    clientClosesAfterHead,
    clientClosesInPlainBody,
    clientClosesInChunkedBody,
    clientClosesInTunnel,
    clientClosesInAcceleratedBody,
};
const char* const faultNames[] = {
    "origin closes before the status line",
    "origin closes inside the head",
    "origin closes inside the body",
    "origin closes inside a chunk size line",
    "origin cuts every range answer short",
    "client closes before the head is complete",
    "client closes after the head",
    "client closes inside a plain body",
    "client closes inside a chunked body",
    "client closes inside a tunnel",
    "client closes inside an accelerated body",
};
constexpr int faultKinds = static_cast<int>(std::size(faultNames));

// What one run does. The origin and the client both follow it.
struct Plan {
    Fault fault = Fault::originClosesBeforeStatus;
    uint64_t seed = 0;           // of the run's bodies
    size_t size = 0;             // body or tunnelled stream bytes
    size_t cut = 0;              // bytes of the head, body or stream before the fault
    std::vector<size_t> chunks;  // the chunk data sizes of a chunked answer
    std::string brokenLine;      // the part of a chunk size line sent before the close
    bool prelude = false;        // a whole exchange first on the same client connection
    bool reset = false;          // the client ends its connection with a reset
    bool headCuts = false;       // range answers may also be cut inside their head
    std::atomic<int> answers{0}; // range answers given so far (origin threads)

    std::string describe() const {
        std::ostringstream text;
        text << faultNames[static_cast<int>(fault)] << ", size " << size << ", cut " << cut;
        if (!chunks.empty()) {
            text << ", chunks";
            for (size_t chunk : chunks)
                text << " " << chunk;
        }
        if (fault == Fault::originClosesInChunkSize)
            text << ", size line cut to \"" << brokenLine << "\"";
        text << (headCuts ? ", range heads cut too" : "")
             << (prelude ? ", after a whole exchange" : "") << (reset ? ", reset" : "");
        return text.str();
    }
};

std::string plainHead(size_t __size) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(__size) + "\r\n\r\n";
}

const char chunkedHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n";

// The size line of a chunk of __size bytes, with an extension now and then.
std::string sizeLine(size_t __size, bool __extension) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%zx", __size);
    return std::string(hex) + (__extension ? ";soak=1" : "") + "\r\n";
}

// The chunked coding of __body cut into __chunks, without the last chunk.
std::string chunkedData(const std::string& __body, const std::vector<size_t>& __chunks) {
    std::string coded;
    size_t at = 0;
    for (size_t i = 0; i < __chunks.size(); ++i) {
        coded += sizeLine(__chunks[i], i % 3 == 1) + __body.substr(at, __chunks[i]) + "\r\n";
        at += __chunks[i];
    }
    return coded;
}

size_t total(const std::vector<size_t>& __sizes) {
    size_t sum = 0;
    for (size_t size : __sizes)
        sum += size;
    return sum;
}

std::string goodBody(uint64_t __run) {
    return "run " + std::to_string(__run) + " is fine\n";
}

bool usesScriptedOrigin(Fault __fault) {
    return __fault != Fault::clientClosesInAcceleratedBody;
}

void makePlan(uint64_t __seed, uint64_t __run, Plan& __plan) {
    std::seed_seq sequence{static_cast<uint32_t>(__seed), static_cast<uint32_t>(__seed >> 32),
                           static_cast<uint32_t>(__run), static_cast<uint32_t>(__run >> 32)};
    std::mt19937_64 generator(sequence);
    auto between = [&generator](size_t __low, size_t __high) {
        return __low + static_cast<size_t>(generator() % (__high - __low + 1));
    };
    // Sizes spread over every order of magnitude up to 2^__bits.
    auto anySize = [&between](int __bits) { return between(1, size_t{1} << between(0, __bits)); };

    Plan& plan = __plan;
    plan.fault = static_cast<Fault>(between(0, faultKinds - 1));
    plan.seed = generator();
    plan.prelude = usesScriptedOrigin(plan.fault) && between(0, 2) == 0;
    plan.reset = between(0, 1) == 1;
    switch (plan.fault) {
    case Fault::originClosesBeforeStatus:
        break;
    case Fault::originClosesInHead:
        plan.size = anySize(20);
        plan.cut = between(1, plainHead(plan.size).size() - 1);
        break;
    case Fault::originClosesInBody:
    case Fault::clientClosesInPlainBody:
    case Fault::clientClosesInTunnel:
        plan.size = anySize(20) + 1;
        plan.cut = between(0, plan.size - 1);
        break;
    case Fault::originClosesInChunkSize: {
        for (size_t i = between(0, 6); i > 0; --i)
            plan.chunks.push_back(anySize(16));
        plan.size = total(plan.chunks);
        std::string line = sizeLine(anySize(16), between(0, 1) == 1);
        plan.brokenLine = line.substr(0, between(0, line.size() - 1));
        break;
    }
    case Fault::originCutsRangeAnswers:
        plan.size = between(smallestAccelerated, largeBody);
        plan.headCuts = between(0, 1) == 1;
        break;
    case Fault::clientClosesBeforeHead:
        plan.cut = between(0, soak::proxyGet(1, "/" + std::to_string(__run) + "/fault").size() - 1);
        break;
    case Fault::clientClosesAfterHead:
        plan.size = between(0, 1) ? anySize(20) : 0;
        break;
    case Fault::clientClosesInChunkedBody:
        for (size_t i = between(1, 16); i > 0; --i)
            plan.chunks.push_back(anySize(16));
        plan.size = total(plan.chunks);
        plan.cut = between(0, plan.size - 1);
        break;
    case Fault::clientClosesInAcceleratedBody:
        plan.size = largeBody;
        plan.cut = between(0, plan.size - 1);
        break;
    }
}

// The plans of one round of runs, numbered from `first`. Made before the
// round's origin and clients start, then read-only (but for the answer
// counters).
struct Round {
    uint64_t first = 0;
    std::vector<std::unique_ptr<Plan>> plans;

    // The plan a request path "/RUN/..." names, or null.
    Plan* find(const std::string& __head, uint64_t& __run, std::string& __what) const {
        size_t slash = __head.find('/');
        if (slash == std::string::npos)
            return nullptr;
        char* end = nullptr;
        __run = std::strtoull(__head.c_str() + slash + 1, &end, 10);
        if (*end != '/' || __run < first || __run - first >= plans.size())
            return nullptr;
        size_t whatEnd = __head.find_first_of(" ?", end + 1 - __head.c_str());
        __what = __head.substr(end + 1 - __head.c_str(), whatEnd - (end + 1 - __head.c_str()));
        return plans[__run - first].get();
    }
};

// The scripted origin's side of every run: each connection answers heads
// until the plan says to break it.
void serveRun(const Round& __round, test::OriginConnection& __connection) {
    for (;;) {
        std::string head = __connection.readHead();
        uint64_t run = 0;
        std::string what;
        Plan* found = head.empty() ? nullptr : __round.find(head, run, what);
        if (!found)
            return;
        const Plan& plan = *found;
        if (what == "good") {
            std::string body = goodBody(run);
            if (!__connection.send(plainHead(body.size()) + body))
                return;
            continue;
        }
        std::string body = soak::patternBytes(plan.size, plan.seed);
        switch (plan.fault) {
        case Fault::originClosesBeforeStatus:
            __connection.close();
            return;
        case Fault::originClosesInHead:
            __connection.send(plainHead(plan.size).substr(0, plan.cut));
            __connection.close();
            return;
        case Fault::originClosesInBody:
            __connection.send(plainHead(plan.size) + body.substr(0, plan.cut));
            __connection.close();
            return;
        case Fault::originClosesInChunkSize:
            __connection.send(chunkedHead + chunkedData(body, plan.chunks) + plan.brokenLine);
            __connection.close();
            return;
        case Fault::originCutsRangeAnswers: {
            // Each answer, to the client's request or to a range request,
            // carries a part of the rest of the body (now and then all of
            // it) and then the connection closes. With headCuts, now and then
            // a range answer ends inside its head instead.
            std::string range = test::headerValue(head, "Range");
            size_t from = range.compare(0, 6, "bytes=") == 0
                              ? std::strtoull(range.c_str() + 6, nullptr, 10)
                              : 0;
            if (from >= plan.size)
                return;
            size_t rest = plan.size - from;
            int index = found->answers++; // 0: the answer to the client's own request
            std::mt19937_64 generator(plan.seed + static_cast<uint64_t>(index));
            bool headCut = plan.headCuts && index > 0 && generator() % 5 == 0;
            size_t part = generator() % 4 == 0 ? rest : 1 + generator() % rest;
            std::string fields = "Content-Type: application/octet-stream\r\n"
                                 "ETag: \"" +
                                 std::to_string(plan.seed) +
                                 "\"\r\nLast-Modified: Mon, 01 Jun 2026 10:00:00 GMT\r\n"
                                 "Accept-Ranges: bytes\r\nContent-Length: " +
                                 std::to_string(rest) + "\r\n";
            std::string answer = range.empty()
                                     ? "HTTP/1.1 200 OK\r\n" + fields
                                     : "HTTP/1.1 206 Partial Content\r\n" + fields +
                                           "Content-Range: bytes " + std::to_string(from) + "-" +
                                           std::to_string(plan.size - 1) + "/" +
                                           std::to_string(plan.size) + "\r\n";
            answer += "\r\n";
            if (headCut) {
                __connection.send(answer.substr(0, 1 + generator() % (answer.size() - 1)));
                __connection.close();
                return;
            }
            if (!__connection.send(answer + body.substr(from, part)))
                return;
            if (part < rest) {
                __connection.close();
                return;
            }
            continue;
        }
        case Fault::clientClosesBeforeHead: // the head never reaches the origin
            return;
        case Fault::clientClosesAfterHead:
        case Fault::clientClosesInPlainBody:
            if (!__connection.send(plainHead(plan.size) + body))
                return;
            continue;
        case Fault::clientClosesInChunkedBody:
            if (!__connection.send(chunkedHead + chunkedData(body, plan.chunks) + "0\r\n\r\n"))
                return;
            continue;
        case Fault::clientClosesInTunnel:
            // The stream through the tunnel; then wait for the tunnel to end.
            if (__connection.send(body))
                __connection.readBytes(1);
            return;
        case Fault::clientClosesInAcceleratedBody: // served by nginx
            return;
        }
    }
}

// A client connection that is closed when the run ends, as the plan says.
struct ClientSocket {
    int fd;
    bool reset;
    ~ClientSocket() {
        if (fd >= 0)
            soak::closeSocket(fd, reset);
    }
};

// The head of an answer, up to its empty line, checked against __status and
// __length (-1: no Content-Length may be given). "" when it is right.
std::string readHead(int __fd, int __status, long long __length) {
    std::string head = test::readUntil(__fd, "\r\n\r\n", answerTimeoutMs);
    soak::ResponseHead parsed;
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)
        return "no whole head; got \"" + head + "\"";
    if (!soak::parseHead(head, parsed) || parsed.status != __status ||
        parsed.contentLength != __length || parsed.chunked)
        return "want status " + std::to_string(__status) + " and length " +
               std::to_string(__length) + "; got head:\n" + head;
    return "";
}

// Reads __expected.size() body bytes; "" when they are exactly __expected.
std::string readBody(int __fd, const std::string& __expected) {
    std::string body = test::readExactly(__fd, __expected.size(), answerTimeoutMs);
    testing::AssertionResult same = test::sameBytes(__expected, body);
    return same ? "" : same.message();
}

// Reads up to the close, which must come: a head of status 200 and
// Content-Length __length (-1: none), with exactly __body behind it.
std::string readTruncated(int __fd, long long __length, const std::string& __body) {
    std::string data;
    if (!soak::readToClose(__fd, data, 4 * largeBody, answerTimeoutMs))
        return "the connection was not closed after " + std::to_string(data.size()) + " bytes";
    size_t end = data.find("\r\n\r\n");
    soak::ResponseHead parsed;
    if (end == std::string::npos || !soak::parseHead(data.substr(0, end + 4), parsed) ||
        parsed.status != 200 || parsed.contentLength != __length || parsed.chunked)
        return "want a head of status 200 and length " + std::to_string(__length) + "; got \"" +
               data.substr(0, std::min<size_t>(end, 400)) + "\"";
    testing::AssertionResult same = test::sameBytes(__body, data.substr(end + 4));
    return same ? "" : same.message();
}

// The client's side of run __run. "" when all it saw was right.
std::string play(const Plan& __plan, uint64_t __run, int __originPort, int __nginxPort) {
    ClientSocket client{test::connectTo(HttpServer::proxyPort), __plan.reset};
    if (client.fd < 0)
        return "connect refused";
    const int fd = client.fd;
    const std::string base = "/" + std::to_string(__run);
    if (__plan.prelude) {
        std::string good = goodBody(__run);
        std::string problem;
        if (!test::sendAll(fd, soak::proxyGet(__originPort, base + "/good")) ||
            !(problem = readHead(fd, 200, static_cast<long long>(good.size()))).empty() ||
            !(problem = readBody(fd, good)).empty())
            return "in the exchange before: " + problem;
    }
    const std::string request = soak::proxyGet(__originPort, base + "/fault");
    const std::string body = soak::patternBytes(__plan.size, __plan.seed);
    std::string problem;
    switch (__plan.fault) {
    case Fault::clientClosesBeforeHead:
        test::sendAll(fd, request.substr(0, __plan.cut));
        return "";
    case Fault::clientClosesAfterHead:
        test::sendAll(fd, request);
        return "";
    case Fault::originClosesBeforeStatus:
    case Fault::originClosesInHead: {
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        std::string data;
        if (!soak::readToClose(fd, data, largeBody, answerTimeoutMs))
            return "the connection was not closed";
        return data.empty() ? "" : "want nothing; got \"" + data.substr(0, 400) + "\"";
    }
    case Fault::originClosesInBody:
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        return readTruncated(fd, static_cast<long long>(__plan.size), body.substr(0, __plan.cut));
    case Fault::originClosesInChunkSize:
        // The client gets the chunk data without its framing.
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        return readTruncated(fd, -1, body);
    case Fault::originCutsRangeAnswers: {
        // Every answer brings bytes, so the body must arrive whole; but
        // range answers cut inside their head bring none, and after five of
        // them for one block the transfer may give up: the client must then
        // see the truncation as a close.
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        if (!(problem = readHead(fd, 200, static_cast<long long>(__plan.size))).empty())
            return problem;
        std::string data;
        bool closed = soak::readToClose(fd, data, __plan.size, answerTimeoutMs);
        testing::AssertionResult same = test::sameBytes(body.substr(0, data.size()), data);
        if (!same)
            return same.message();
        if (data.size() == __plan.size)
            return "";
        if (!__plan.headCuts || !closed)
            return "the body stopped after " + std::to_string(data.size()) + " bytes" +
                   (closed ? "" : ", and the connection was not closed");
        return "";
    }
    case Fault::clientClosesInPlainBody:
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        if (!(problem = readHead(fd, 200, static_cast<long long>(__plan.size))).empty())
            return problem;
        return readBody(fd, body.substr(0, __plan.cut));
    case Fault::clientClosesInChunkedBody:
        if (!test::sendAll(fd, request))
            return "cannot send the request";
        if (!(problem = readHead(fd, 200, -1)).empty())
            return problem;
        return readBody(fd, body.substr(0, __plan.cut));
    case Fault::clientClosesInTunnel: {
        std::string target = "127.0.0.1:" + std::to_string(__originPort);
        if (!test::sendAll(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"))
            return "cannot send the request";
        std::string reply = test::readUntil(fd, "\r\n\r\n", answerTimeoutMs);
        if (reply != "HTTP/1.1 200 Established\r\n\r\n")
            return "want the tunnel established; got \"" + reply + "\"";
        if (!test::sendAll(fd, "GET " + base + "/tunnel HTTP/1.1\r\n\r\n"))
            return "cannot send into the tunnel";
        return readBody(fd, body.substr(0, __plan.cut));
    }
    case Fault::clientClosesInAcceleratedBody: {
        if (!test::sendAll(fd, soak::proxyGet(__nginxPort, "/" + std::string(largeFile) + "?run" +
                                                               std::to_string(__run))))
            return "cannot send the request";
        if (!(problem = readHead(fd, 200, static_cast<long long>(largeBody))).empty())
            return problem;
        return readBody(fd, largeContent().substr(0, __plan.cut));
    }
    }
    return "unknown fault";
}

} // namespace

class FaultSoakTest : public soak::SoakTest {
protected:
    static void SetUpTestSuite() {
        setUpSoakSuite(descriptorsNeeded, [](const std::string& __root) {
            if (!test::writeFile(__root + "/" + largeFile, largeContent()))
                return std::string("cannot write ") + largeFile;
            return std::string();
        });
    }

    // Fetches the large file over a fresh connection; "" when it arrives whole.
    static std::string download(const std::string& __tag) {
        int fd = test::connectTo(HttpServer::proxyPort);
        if (fd < 0)
            return "connect refused";
        std::string problem;
        if (!test::sendAll(fd, soak::proxyGet(suite->nginx.port(),
                                              "/" + std::string(largeFile) + "?" + __tag)))
            problem = "cannot send the request";
        else if ((problem = readHead(fd, 200, static_cast<long long>(largeBody))).empty())
            problem = readBody(fd, largeContent());
        ::close(fd);
        return problem;
    }
};

TEST_F(FaultSoakTest, RecoversFromFaultsAtEveryPhase) {
    const uint64_t seed = soak::environmentNumber("SHOAL_SOAK_SEED", std::random_device()());
    const uint64_t runs = soak::environmentNumber("SHOAL_SOAK_RUNS", defaultRuns);
    std::cout << "fault soak: seed " << seed << ", " << runs
              << " runs (replay with SHOAL_SOAK_SEED=" << seed << " SHOAL_SOAK_RUNS=" << runs << ")"
              << std::endl;

    const pid_t pid = suite->shoal.pid();
    ASSERT_EQ("", download("before"));
    const test::Figures before = test::idleFigures(pid);

    std::mutex mutex;                  // guards failures
    std::vector<std::string> failures; // appended by the runner threads
    std::vector<int> counts(faultKinds, 0);
    soak::Clock::time_point start = soak::Clock::now();
    for (uint64_t first = 0; first < runs; first += runsPerOrigin) {
        Round round;
        round.first = first;
        for (uint64_t run = first; run < std::min(runs, first + runsPerOrigin); ++run) {
            round.plans.push_back(std::make_unique<Plan>());
            makePlan(seed, run, *round.plans.back());
            ++counts[static_cast<int>(round.plans.back()->fault)];
        }
        test::ScriptedOrigin origin(
            [&round](test::OriginConnection& __connection, int) { serveRun(round, __connection); });
        std::atomic<size_t> next{0};
        std::vector<std::thread> runners;
        for (int i = 0; i < concurrentRuns; ++i)
            runners.emplace_back([&] {
                for (size_t at; (at = next++) < round.plans.size();) {
                    const Plan& plan = *round.plans[at];
                    std::string problem =
                        play(plan, first + at, origin.port(), suite->nginx.port());
                    if (problem.empty())
                        continue;
                    std::lock_guard<std::mutex> guard(mutex);
                    failures.push_back("run " + std::to_string(first + at) + " (" +
                                       plan.describe() + "): " + problem);
                }
            });
        for (std::thread& runner : runners)
            runner.join();
    }
    long long loopMs = soak::millisecondsSince(start);
    std::cout << runs << " runs in " << loopMs << " ms:";
    for (int kind = 0; kind < faultKinds; ++kind)
        std::cout << (kind ? ", " : " ") << counts[kind] << " " << faultNames[kind];
    std::cout << std::endl;
    for (size_t i = 0; i < failures.size() && i < 20; ++i)
        ADD_FAILURE() << failures[i];
    EXPECT_EQ(0u, failures.size())
        << "runs failed; replay with SHOAL_SOAK_SEED=" << seed << " SHOAL_SOAK_RUNS=" << runs;

    // Still serving; the new connection also has the finished ones reaped.
    EXPECT_EQ("", download("after"));
    // The runs with accelerated answers, and both downloads, went the
    // accelerated way.
    std::vector<std::string> lines = consoleLines();
    EXPECT_EQ(counts[static_cast<int>(Fault::originCutsRangeAnswers)] +
                  counts[static_cast<int>(Fault::clientClosesInAcceleratedBody)] + 2,
              std::count(lines.begin(), lines.end(), "transferDataSpeeded()"));
    test::Figures after;
    bool settled = test::waitForFigures(pid, before, margin, settleTimeoutMs, after);
    // A moment more for the figures, while the last connections end.
    test::waitForFigures(pid, before, 0, 2000, after);
    std::cout << "shoal before the loop: " << before << "; after: " << after << std::endl;
    EXPECT_TRUE(settled) << after << "; before: " << before;
}
