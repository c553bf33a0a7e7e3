// End-to-end tests of accelerated downloads: the shoal binary on port 1998,
// real curl and raw sockets as clients, a private nginx as the origin. Large
// media-like answers are fetched again by range workers over parallel origin
// connections; the client must get the body byte for byte, the console must
// tell the transfer's steps in order, and clients that go away mid-transfer
// must leave nothing behind.
//
// One shoal and one nginx serve all the tests of a run; every test looks only
// at the console lines and access log lines made since it began.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e.h"
#include "httpserver.h"
#include "nginx.h"
#include "process.h"
#include "testsupport.h"

namespace {

using test::CommandResult;
using test::contains;
using test::curl;
using test::proxyAddress;
using test::readFile;
using test::sameBytes;
using test::splitLines;

// A limit that only turns a hang into a failure.
constexpr int waitMs = 10000;

// The rules of block sizes an accelerated transfer follows.
constexpr uint32_t firstBlock = 65536;
constexpr uint32_t largestBlock = 4 * 1024 * 1024;
constexpr int mostForks = 7;

// The files nginx serves, typed by their extension. /paced/ sends every
// response at 2 MiB/s from its first byte, so that the first block's speed
// asks for blocks of 4 MiB and the body needs more than one of them; /none/
// says "Accept-Ranges: none"; /whole/ ignores Range and always answers the
// whole file.
struct ServedFile {
    const char* name;
    size_t size;
};
const ServedFile servedFiles[] = {
    {"clip.bin", firstBlock + 1},        {"edge.bin", firstBlock},
    {"film.mp4", 3 * 1024 * 1024},       {"picture.png", 300 * 1024},
    {"song.mp3", 1024 * 1024},           {"page.html", 1024 * 1024},
    {"none/film.mp4", 1024 * 1024},      {"whole/archive.bin", 10 * 1024 * 1024},
    {"paced/reel.mp4", 8 * 1024 * 1024},
};
const char pacedFile[] = "paced/reel.mp4";

const char nginxDirectives[] = "        gzip on;\n"
                               "        gzip_types audio/mpeg;\n"
                               "        gzip_min_length 1;\n"
                               "        location /paced/ {\n"
                               "            limit_rate 2m;\n"
                               "            sendfile_max_chunk 16k;\n"
                               "        }\n"
                               "        location /none/ {\n"
                               "            max_ranges 0;\n"
                               "            add_header Accept-Ranges none;\n"
                               "        }\n"
                               "        location /whole/ {\n"
                               "            max_ranges 0;\n"
                               "        }\n";

// True when __text is __pattern with every '#' standing for a decimal number
// (one digit or more) and every '*' for any text of one character or more;
// the numbers go into __figures.
bool matchLine(const std::string& __text, const char* __pattern, std::vector<uint64_t>& __figures) {
    __figures.clear();
    size_t at = 0;
    for (const char* p = __pattern; *p; ++p) {
        if (*p == '#') {
            size_t digits = at;
            while (digits < __text.size() &&
                   std::isdigit(static_cast<unsigned char>(__text[digits])))
                ++digits;
            if (digits == at || digits - at > 18)
                return false;
            __figures.push_back(std::stoull(__text.substr(at, digits - at)));
            at = digits;
        } else if (*p == '*') {
            // The shortest text after which the rest of the pattern matches.
            std::vector<uint64_t> rest;
            for (size_t end = at + 1; end <= __text.size(); ++end)
                if (matchLine(__text.substr(end), p + 1, rest)) {
                    __figures.insert(__figures.end(), rest.begin(), rest.end());
                    return true;
                }
            return false;
        } else if (at < __text.size() && __text[at] == *p) {
            ++at;
        } else {
            return false;
        }
    }
    return at == __text.size();
}

// True for a console request line: "METHOD /path host" (the path is empty
// for CONNECT).
bool isRequestLine(const std::string& __line) {
    size_t space = __line.find(' ');
    if (space == 0 || space == std::string::npos)
        return false;
    for (size_t i = 0; i < space; ++i)
        if (!std::isupper(static_cast<unsigned char>(__line[i])))
            return false;
    size_t second = __line.find(' ', space + 1);
    return second != std::string::npos && second + 1 < __line.size() &&
           __line.find(' ', second + 1) == std::string::npos;
}

// The size of the blocks after the first, from the figure of an
// "updateBlockSize N" line: N within [firstBlock, largestBlock], and 0 (a
// first block too fast to measure) as largestBlock.
uint32_t boundedBlockSize(uint64_t __measured) {
    if (__measured == 0 || __measured > largestBlock)
        return largestBlock;
    return __measured < firstBlock ? firstBlock : static_cast<uint32_t>(__measured);
}

// The console lines of one accelerated transfer, taken apart. Lines are
// counted from the transfer's request line (index 0).
struct TransferTrace {
    struct Indexed {
        size_t index;
        std::vector<uint64_t> figures; // the numbers the line carries
    };
    std::vector<size_t> speeded;    // "transferDataSpeeded()"
    std::vector<size_t> begins;     // "shrimp begin at 0"
    std::vector<Indexed> blockSize; // "updateBlockSize N"
    std::vector<Indexed> occupied;  // "Shrimp I occupied at N"
    std::vector<Indexed> buffering; // "Buffering %P[E/L]"
    std::vector<Indexed> died;      // "shrimp I died. Its speed is SkB/s"
    std::vector<Indexed> completed; // "Transfer completed, avarage speed: XkB/s"
    std::vector<std::string> unknown;
    std::vector<std::string> lines;

    explicit TransferTrace(const std::vector<std::string>& __lines) : lines(__lines) {
        struct Kind {
            const char* pattern;
            std::vector<Indexed>* found; // null for lines only allowed
        };
        const Kind kinds[] = {
            {"updateBlockSize #", &blockSize},
            {"Shrimp # occupied at #", &occupied},
            {"Buffering %#[#/#]", &buffering},
            {"shrimp # died. Its speed is #kB/s", &died},
            {"Transfer completed, avarage speed: #kB/s", &completed},
            {"failed to connect to *:#", nullptr},
        };
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i] == "transferDataSpeeded()") {
                speeded.push_back(i);
                continue;
            }
            if (lines[i] == "shrimp begin at 0") {
                begins.push_back(i);
                continue;
            }
            bool known = false;
            for (const Kind& kind : kinds) {
                Indexed line{i, {}};
                if (!matchLine(lines[i], kind.pattern, line.figures))
                    continue;
                if (kind.found)
                    kind.found->push_back(line);
                known = true;
                break;
            }
            if (!known)
                unknown.push_back(lines[i]);
        }
    }

    // The workers the transfer has: the first, and one more for each further
    // block of the bounded size that the body needs after the first block,
    // at most mostForks. 0 while the block size is not known yet.
    size_t expectedWorkers(uint32_t __length) const {
        if (blockSize.empty())
            return 0;
        uint32_t size = boundedBlockSize(blockSize.front().figures[0]);
        uint32_t rest = __length - firstBlock;
        uint32_t blocks = rest / size + (rest % size != 0);
        return 1 + std::min<uint32_t>(blocks, mostForks);
    }
    // The body positions where the blocks end: firstBlock, then steps of the
    // bounded size up to __length.
    std::vector<uint64_t> expectedBlockEnds(uint32_t __length) const {
        std::vector<uint64_t> ends = {firstBlock};
        uint32_t size = blockSize.empty() ? 0 : boundedBlockSize(blockSize.front().figures[0]);
        while (size != 0 && ends.back() < __length)
            ends.push_back(std::min<uint64_t>(ends.back() + size, __length));
        return ends;
    }
    // True once the last block has been sent and every worker has ended.
    bool hasEnded(uint32_t __length) const {
        return !buffering.empty() && buffering.back().figures[1] == __length &&
               died.size() >= expectedWorkers(__length);
    }
};

std::string joinLines(const std::vector<std::string>& __lines) {
    std::string text;
    for (const std::string& line : __lines)
        text += "  " + line + "\n";
    return text;
}

// The console lines of an accelerated transfer of a __length-byte body are
// all of the known kinds and in order: its request line, then
// "transferDataSpeeded()", "shrimp begin at 0" and "updateBlockSize N" once
// each; after them one "Buffering" line per block in body order (the blocks
// cut as the rules say, the last at 100%), one "died" line per worker, and
// at most one "Transfer completed" after the last "Buffering" (required
// with __averageExpected).
testing::AssertionResult isOrderlyTransfer(const TransferTrace& __trace, uint32_t __length,
                                           bool __averageExpected) {
    std::ostringstream problems;
    const std::vector<uint64_t> ends = __trace.expectedBlockEnds(__length);
    if (!__trace.unknown.empty())
        problems << "lines of no known kind:\n" << joinLines(__trace.unknown);
    if (__trace.speeded.size() != 1 || __trace.begins.size() != 1 || __trace.blockSize.size() != 1)
        problems << "want one each of transferDataSpeeded(), shrimp begin at 0 and "
                    "updateBlockSize\n";
    else if (!(__trace.speeded[0] < __trace.begins[0] &&
               __trace.begins[0] < __trace.blockSize[0].index))
        problems << "transferDataSpeeded(), shrimp begin at 0, updateBlockSize out of order\n";
    size_t blockSizeIndex = __trace.blockSize.empty() ? 0 : __trace.blockSize[0].index;

    std::vector<uint64_t> bufferedEnds;
    for (const TransferTrace::Indexed& line : __trace.buffering) {
        uint64_t percent = line.figures[0], end = line.figures[1], length = line.figures[2];
        bufferedEnds.push_back(end);
        if (length != __length || percent != end * 100 / length || line.index < blockSizeIndex)
            problems << "bad Buffering line: " << __trace.lines[line.index] << "\n";
    }
    if (bufferedEnds != ends) {
        problems << "Buffering ends";
        for (uint64_t end : bufferedEnds)
            problems << " " << end;
        problems << "; want";
        for (uint64_t end : ends)
            problems << " " << end;
        problems << "\n";
    }

    std::set<uint64_t> workers;
    for (const TransferTrace::Indexed& line : __trace.died) {
        workers.insert(line.figures[0]);
        if (line.index < blockSizeIndex)
            problems << "a worker died before the block size was set\n";
    }
    if (__trace.died.size() != __trace.expectedWorkers(__length) ||
        workers.size() != __trace.died.size())
        problems << __trace.died.size() << " died lines for " << workers.size()
                 << " workers; want one for each of " << __trace.expectedWorkers(__length) << "\n";
    for (const TransferTrace::Indexed& line : __trace.occupied)
        if (line.index < blockSizeIndex || !workers.count(line.figures[0]) ||
            std::find(ends.begin(), ends.end(), line.figures[1]) == ends.end())
            problems << "bad occupied line: " << __trace.lines[line.index] << "\n";

    size_t lastBuffering = __trace.buffering.empty() ? 0 : __trace.buffering.back().index;
    if (__trace.completed.size() > 1 ||
        (__trace.completed.size() == 1 && __trace.completed[0].index < lastBuffering))
        problems << "Transfer completed more than once or before the last block\n";
    if (__averageExpected && __trace.completed.empty())
        problems << "no Transfer completed line\n";

    if (problems.str().empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << problems.str() << "console:\n"
                                       << joinLines(__trace.lines);
}

} // namespace

class AcceleratedDownloadTest : public test::ShoalTest {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite() { tearDownSuite(); }

    void SetUp() override {
        ShoalTest::SetUp();
        if (!HasFatalFailure())
            logOffset = suite->nginx.accessLog().size();
    }

    // The options of one transfer through the proxy that prints
    // "status type connects bytes" for it.
    static std::vector<std::string> viaProxy() {
        static const char writeOut[] = "%{http_code} %{content_type} %{num_connects} "
                                       "%{size_download}\n";
        return {"-s", "-S", "-x", proxyAddress, "-w", writeOut};
    }

    // The console lines from the first __requestLine on, up to the next
    // request line of another request ("METHOD /path host").
    std::vector<std::string> requestLines(const std::string& __requestLine) const {
        std::vector<std::string> all = consoleLines();
        auto first = std::find(all.begin(), all.end(), __requestLine);
        if (first == all.end())
            return {};
        auto next = std::find_if(first + 1, all.end(),
                                 [](const std::string& __line) { return isRequestLine(__line); });
        return std::vector<std::string>(first, next);
    }
    // The trace of the accelerated transfer behind __requestLine, once it has
    // ended (or as far as it got within waitMs).
    TransferTrace waitTransfer(const std::string& __requestLine, uint32_t __length,
                               bool __averageExpected) const {
        test::waitUntil(
            [&] {
                TransferTrace trace(requestLines(__requestLine));
                return trace.hasEnded(__length) && (!__averageExpected || !trace.completed.empty());
            },
            waitMs);
        return TransferTrace(requestLines(__requestLine));
    }
    // The access log lines for __path made since this test began, once
    // __enough holds for them (or as they are after waitMs).
    std::vector<test::AccessLogLine>
    waitLogged(const std::string& __path,
               const std::function<bool(const std::vector<test::AccessLogLine>&)>& __enough) const {
        std::vector<test::AccessLogLine> logged;
        test::waitUntil(
            [&] {
                std::vector<test::AccessLogLine> all = suite->nginx.accessLog();
                logged.clear();
                for (size_t i = std::min(logOffset, all.size()); i < all.size(); ++i)
                    if (all[i].request == "GET " + __path + " HTTP/1.1")
                        logged.push_back(all[i]);
                return __enough(logged);
            },
            waitMs);
        return logged;
    }

    size_t logOffset = 0;
};

void AcceleratedDownloadTest::SetUpTestSuite() {
    setUpSuite(nginxDirectives, false, [](const std::string& __root) {
        for (const char* directory : {"/none", "/whole", "/paced"})
            ::mkdir((__root + directory).c_str(), 0755);
        unsigned seed = 2024;
        for (const ServedFile& entry : servedFiles)
            if (!test::writeFile(__root + "/" + entry.name, test::randomBytes(entry.size, seed++)))
                return std::string("cannot write ") + entry.name;
        return std::string();
    });
}

// Media-like answers over 65,536 bytes are accelerated and arrive byte for
// byte, whatever their size and type, also when the origin ignores Range.
// Everything else is relayed plainly (no transferDataSpeeded() line): a body
// of exactly 65,536 bytes, text, HEAD, a "206" to the client's own Range, a
// chunked gzip answer (which reaches the client without a length), and
// "Accept-Ranges: none".
TEST_F(AcceleratedDownloadTest, DeliversBodiesByteExactAcceleratedOrNot) {
    enum class Body { whole, head, slice };
    struct Case {
        const char* path;
        std::vector<std::string> options;
        const char* status;
        const char* type;
        bool accelerated;
        Body body;
        // "Name: value", a field of the answer as the client gets it ("Name:"
        // when it has none), so that the case is what it says; or "".
        const char* field;
    };
    const char* const binary = "application/octet-stream";
    const char* const sliceRange = "Content-Range: bytes 1000-99999/3145728";
    const Case cases[] = {
        {"/clip.bin", {}, "200", binary, true, Body::whole, "Content-Length: 65537"},
        {"/film.mp4", {}, "200", "video/mp4", true, Body::whole, "Accept-Ranges: bytes"},
        {"/picture.png", {}, "200", "image/png", true, Body::whole, ""},
        {"/song.mp3", {}, "200", "audio/mpeg", true, Body::whole, ""},
        {"/whole/archive.bin", {}, "200", binary, true, Body::whole, "Accept-Ranges:"},
        {"/edge.bin", {}, "200", binary, false, Body::whole, "Content-Length: 65536"},
        {"/page.html", {}, "200", "text/html", false, Body::whole, ""},
        {"/film.mp4", {"-I"}, "200", "video/mp4", false, Body::head, "Content-Length: 3145728"},
        {"/film.mp4", {"-r1000-99999"}, "206", "video/mp4", false, Body::slice, sliceRange},
        {"/song.mp3", {"--compressed"}, "200", "audio/mpeg", false, Body::whole, "Content-Length:"},
        {"/none/film.mp4", {}, "200", "video/mp4", false, Body::whole, "Accept-Ranges: none"},
    };
    for (const Case& c : cases) {
        std::string tag = c.path;
        for (const std::string& option : c.options)
            tag += " " + option;
        std::string content = served(c.path + 1);
        std::string expected = c.body == Body::slice ? content.substr(1000, 99000) : content;
        // The query marks this case's request among the console lines.
        std::string target = std::string(c.path) + "?case" + std::to_string(&c - cases);
        std::string requestLine =
            std::string(c.body == Body::head ? "HEAD " : "GET ") + target + " 127.0.0.1";

        std::vector<std::string> args = viaProxy();
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"-D", file("head"), "-o", file("body"), url(target)});
        CommandResult result = curl(args);
        ASSERT_EQ(0, result.status) << tag << "\n"
                                    << result.describe() << "console:\n"
                                    << joinLines(consoleLines());
        std::string figures = std::string(c.status) + " " + c.type + " 1 ";
        EXPECT_EQ(figures, result.out.substr(0, figures.size())) << tag << ": " << result.out;
        std::string head = readFile(file("head"));
        std::string field = c.field;
        if (!field.empty()) {
            size_t colon = field.find(':');
            std::string value = colon + 1 < field.size() ? field.substr(colon + 2) : "";
            EXPECT_EQ(value, test::headerValue(head, field.substr(0, colon))) << tag << "\n"
                                                                              << head;
        }
        if (c.body != Body::head) {
            EXPECT_TRUE(sameBytes(expected, readFile(file("body")))) << tag;
        }

        if (c.accelerated) {
            TransferTrace trace = waitTransfer(requestLine, content.size(), false);
            EXPECT_TRUE(isOrderlyTransfer(trace, content.size(), false)) << tag;
        } else {
            // The line would come before the first byte of the body.
            std::vector<std::string> lines = requestLines(requestLine);
            EXPECT_FALSE(lines.empty()) << tag << "\n" << joinLines(consoleLines());
            EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "transferDataSpeeded()"))
                << tag << "\n"
                << joinLines(lines);
        }
    }
}

// From an origin that paces every connection, the body of two 4 MiB blocks
// behind the first is fetched over several connections: nginx logs the
// dropped first connection, the first worker's request from byte 0 and at
// least one "Range: bytes=N-" answered "206". The console tells the whole
// transfer, which lasts long enough to print its average speed.
TEST_F(AcceleratedDownloadTest, FetchesPacedBodyOverParallelRangeConnections) {
    const std::string path = std::string("/") + pacedFile;
    const std::string content = served(pacedFile);
    std::vector<std::string> args = viaProxy();
    args.insert(args.end(), {"-o", file("paced"), url(path)});
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe() << "console:\n" << joinLines(consoleLines());
    EXPECT_EQ("200 video/mp4 1 " + std::to_string(content.size()), splitLines(result.out).at(0));
    EXPECT_TRUE(sameBytes(content, readFile(file("paced"))));

    TransferTrace trace = waitTransfer("GET " + path + " 127.0.0.1", content.size(), true);
    EXPECT_TRUE(isOrderlyTransfer(trace, content.size(), true));

    auto rangesSeen = [](const std::vector<test::AccessLogLine>& __logged) {
        std::set<long> connections;
        bool ranged = false;
        for (const test::AccessLogLine& line : __logged) {
            connections.insert(line.connection);
            ranged = ranged || !line.range.empty();
        }
        return connections.size() >= 3 && ranged;
    };
    std::vector<test::AccessLogLine> logged = waitLogged(path, rangesSeen);
    std::ostringstream log;
    for (const test::AccessLogLine& line : logged)
        log << "  " << line.connection << " " << line.status << " " << line.bodyBytes << " \""
            << line.range << "\"\n";
    EXPECT_TRUE(rangesSeen(logged)) << log.str();
    for (const test::AccessLogLine& line : logged) {
        std::vector<uint64_t> figures;
        if (line.range.empty()) {
            EXPECT_EQ(200, line.status) << log.str();
            continue;
        }
        ASSERT_TRUE(matchLine(line.range, "bytes=#-", figures)) << log.str();
        uint64_t start = figures[0];
        EXPECT_GT(start, 0u) << log.str();
        EXPECT_LT(start, content.size()) << log.str();
        EXPECT_EQ(206, line.status) << log.str();
    }
}

// Several URLs on one curl command line share one client connection: an
// accelerated body, a plain one and another accelerated one arrive whole,
// and curl connects once.
TEST_F(AcceleratedDownloadTest, KeepsTheClientConnectionAfterAcceleratedBodies) {
    struct Transfer {
        const char* name;
        const char* type;
        bool accelerated;
    };
    const Transfer transfers[] = {
        {"film.mp4", "video/mp4", true},
        {"page.html", "text/html", false},
        {"picture.png", "image/png", true},
    };
    std::vector<std::string> args;
    for (const Transfer& t : transfers) {
        std::vector<std::string> transfer = viaProxy();
        args.insert(args.end(), transfer.begin(), transfer.end());
        args.insert(args.end(), {"-o", file(std::string("kept-") + t.name),
                                 url(std::string("/") + t.name + "?kept")});
    }
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe() << "console:\n" << joinLines(consoleLines());
    std::vector<std::string> writeOut = splitLines(result.out);
    ASSERT_EQ(std::size(transfers), writeOut.size()) << result.out;
    for (size_t i = 0; i < std::size(transfers); ++i) {
        const Transfer& t = transfers[i];
        std::string content = served(t.name);
        EXPECT_EQ(std::string("200 ") + t.type + (i == 0 ? " 1 " : " 0 ") +
                      std::to_string(content.size()),
                  writeOut[i]);
        EXPECT_TRUE(sameBytes(content, readFile(file(std::string("kept-") + t.name)))) << t.name;
        std::string requestLine = std::string("GET /") + t.name + "?kept 127.0.0.1";
        if (t.accelerated) {
            TransferTrace trace = waitTransfer(requestLine, content.size(), false);
            EXPECT_TRUE(isOrderlyTransfer(trace, content.size(), false)) << t.name;
        } else {
            std::vector<std::string> lines = requestLines(requestLine);
            EXPECT_EQ(std::vector<std::string>{requestLine}, lines);
        }
    }
}

// Clients that hang up in the middle of accelerated transfers (right after
// the head, within the first block, and later within the blocks fetched in
// parallel) leave neither threads nor descriptors behind, and shoal goes on
// serving: the next accelerated body arrives whole.
TEST_F(AcceleratedDownloadTest, ClientsThatHangUpMidTransferLeaveNothingBehind) {
    pid_t pid = suite->shoal.pid();
    std::vector<std::string> single = viaProxy();
    single.insert(single.end(), {"-o", "/dev/null", url("/edge.bin")});
    ASSERT_EQ(0, curl(single).status);
    const test::Figures idle = test::idleFigures(pid);

    const std::string host = "127.0.0.1:" + std::to_string(suite->nginx.port());
    const std::string request =
        "GET http://" + host + "/" + pacedFile + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    const size_t bodyBytesBeforeHangUp[] = {0, 100 * 1024, 1536 * 1024};
    constexpr int rounds = 3;
    for (int round = 0; round < rounds; ++round)
        for (size_t bytes : bodyBytesBeforeHangUp) {
            int fd = test::connectTo(HttpServer::proxyPort);
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(test::sendAll(fd, request));
            std::string head = test::readUntil(fd, "\r\n\r\n");
            std::string body = test::readExactly(fd, bytes);
            ::close(fd);
            ASSERT_TRUE(contains(head, "200 OK") && contains(head, "video/mp4")) << head;
            ASSERT_EQ(bytes, body.size()) << "round " << round << "; console:\n"
                                          << joinLines(consoleLines());
        }

    std::vector<std::string> args = viaProxy();
    args.insert(args.end(), {"-o", file("after-hangups"), url("/film.mp4")});
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe() << "console:\n" << joinLines(consoleLines());
    EXPECT_TRUE(sameBytes(served("film.mp4"), readFile(file("after-hangups"))));
    // The next client makes the listener reap the finished connections.
    ASSERT_EQ(0, curl(single).status);

    constexpr int margin = 2;
    test::Figures now;
    EXPECT_TRUE(test::waitForFigures(pid, idle, margin, waitMs, now)) << now << "; idle: " << idle;
}
