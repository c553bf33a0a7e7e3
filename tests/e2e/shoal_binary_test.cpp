// End-to-end tests of the shoal binary: the program itself on port 1998,
// driven by real curl and wget, with nginx (HTTP, HTTPS, WebDAV PUT, gzip)
// and small scripted origins behind it, everything on 127.0.0.1.
//
// One shoal and one nginx serve all the tests of a run; every test looks only
// at the console lines and origin records made since it began.
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "httpserver.h"
#include "nginx.h"
#include "process.h"
#include "testsupport.h"

namespace {

using test::clientTimeoutSeconds;
using test::CommandResult;
using test::contains;
using test::curl;
using test::headerValue;
using test::proxyAddress;
using test::randomBytes;
using test::readFile;
using test::runCommand;
using test::sameBytes;
using test::splitLines;

// Generous limits that only turn a hang into a failure.
constexpr int quickTimeoutSeconds = 10;
constexpr int waitMs = 10000;

// The files nginx serves. Their content types are text/*, which the proxy
// relays plainly.
struct ServedFile {
    const char* name;
    size_t size;
};
const ServedFile servedFiles[] = {
    {"empty.txt", 0},
    {"one.txt", 1},
    {"page.html", 100 * 1024},
    {"big.txt", 3 * 1024 * 1024},
};
// Compressible text for gzip, and the body of every upload (not served).
const char wordsFile[] = "words.txt";
constexpr size_t wordsSize = 1024 * 1024;
constexpr size_t uploadSize = 2 * 1024 * 1024;

std::string randomWords(size_t __size, unsigned __seed) {
    static const char* const vocabulary[] = {"shoal", "proxy",  "relay",  "chunk", "block",
                                             "range", "origin", "client", "line",  "body"};
    std::mt19937 generator(__seed);
    std::string text;
    while (text.size() < __size) {
        text += vocabulary[generator() % 10];
        text += generator() % 8 == 0 ? '\n' : ' ';
    }
    text.resize(__size);
    return text;
}

// The body of a request an OriginConnection has just read the head of:
// Content-Length bytes, or the de-framed chunks. False when it is cut off.
bool readRequestBody(test::OriginConnection& __connection, const std::string& __head,
                     std::string& __body) {
    __body.clear();
    if (strcasecmp(headerValue(__head, "Transfer-Encoding").c_str(), "chunked") != 0) {
        size_t length = std::strtoul(headerValue(__head, "Content-Length").c_str(), nullptr, 10);
        __body = __connection.readBytes(length);
        return __body.size() == length;
    }
    auto readLine = [&__connection](std::string& __line) {
        __line.clear();
        while (__line.size() < 2 || __line.compare(__line.size() - 2, 2, "\r\n") != 0) {
            std::string byte = __connection.readBytes(1);
            if (byte.empty())
                return false;
            __line += byte;
        }
        __line.resize(__line.size() - 2);
        return true;
    };
    std::string line;
    for (;;) {
        if (!readLine(line))
            return false;
        size_t size = std::strtoul(line.c_str(), nullptr, 16);
        if (size == 0)
            break;
        std::string data = __connection.readBytes(size);
        if (data.size() != size || !readLine(line) || !line.empty())
            return false;
        __body += data;
    }
    do { // the trailer, up to its empty line
        if (!readLine(line))
            return false;
    } while (!line.empty());
    return true;
}

// A scripted origin that keeps every request's head and body and answers
// each with "200 OK" and a short text. It answers "Expect: 100-continue"
// with "100 Continue" first, as a real server does.
class RecordingOrigin {
public:
    struct Request {
        std::string head;
        std::string body;
    };

    RecordingOrigin()
        : origin([this](test::OriginConnection& __connection, int) { serve(__connection); }) {}
    int port() const { return origin.port(); }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> guard(mutex);
        return recorded;
    }

private:
    void serve(test::OriginConnection& __connection) {
        for (;;) {
            Request request;
            request.head = __connection.readHead();
            if (request.head.empty())
                return;
            if (strcasecmp(headerValue(request.head, "Expect").c_str(), "100-continue") == 0)
                __connection.send("HTTP/1.1 100 Continue\r\n\r\n");
            bool whole = readRequestBody(__connection, request.head, request.body);
            std::string answer = "stored " + std::to_string(request.body.size()) + " bytes\n";
            {
                std::lock_guard<std::mutex> guard(mutex);
                recorded.push_back(request);
            }
            if (!whole || !__connection.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                             "Content-Length: " +
                                             std::to_string(answer.size()) + "\r\n\r\n" + answer))
                return;
        }
    }

    std::mutex mutex;              // guards recorded
    std::vector<Request> recorded; // appended by the origin's threads
    test::ScriptedOrigin origin;   // last: its threads stop before the rest goes
};

} // namespace

class ShoalBinaryTest : public test::ShoalTest {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite() { tearDownSuite(); }

    static std::string tlsUrl(const std::string& __path) {
        return "https://127.0.0.1:" + std::to_string(suite->nginx.tlsPort()) + __path;
    }
    // The body of every upload.
    static std::string uploadPath() { return file("upload.bin"); }

    // The options of one transfer through the proxy that prints
    // "status connects bytes" for it.
    static std::vector<std::string> viaProxy() {
        static const char writeOut[] = "%{http_code} %{num_connects} %{size_download}\n";
        return {"-s", "-S", "-x", proxyAddress, "-w", writeOut};
    }

    // Waits until at least __count console lines have appeared.
    std::vector<std::string> waitConsoleLines(size_t __count) const {
        test::waitUntil([&] { return consoleLines().size() >= __count; }, waitMs);
        return consoleLines();
    }
};

void ShoalBinaryTest::SetUpTestSuite() {
    const std::string directives = "        client_max_body_size 100m;\n"
                                   "        gzip on;\n"
                                   "        gzip_types text/plain;\n"
                                   "        gzip_min_length 1;\n"
                                   "        location /upload/ {\n"
                                   "            dav_methods PUT;\n"
                                   "            create_full_put_path on;\n"
                                   "        }\n";
    setUpSuite(directives, true, [](const std::string& __root) {
        ::mkdir((__root + "/upload").c_str(), 0755);
        unsigned seed = 1998;
        for (const ServedFile& entry : servedFiles)
            test::writeFile(__root + "/" + entry.name, randomBytes(entry.size, seed++));
        test::writeFile(__root + "/" + wordsFile, randomWords(wordsSize, seed++));
        test::writeFile(uploadPath(), randomBytes(uploadSize, seed++));
        return std::string();
    });
}

// Several URLs on one curl command line travel over one client connection;
// shoal reuses its origin connection for all of them (nginx logs one
// connection carrying requests 1 to 5), delivers every body byte for byte,
// including an empty one, and prints one console line per request in order.
TEST_F(ShoalBinaryTest, RelaysBodiesByteExactOverOneKeptAliveConnection) {
    const std::vector<std::string> names = {"empty.txt", "one.txt", "page.html", "big.txt",
                                            "one.txt"};
    std::vector<std::string> args;
    for (size_t i = 0; i < names.size(); ++i) {
        std::vector<std::string> transfer = viaProxy();
        args.insert(args.end(), transfer.begin(), transfer.end());
        args.insert(args.end(), {"-o", file("keepalive" + std::to_string(i)),
                                 url("/" + names[i] + "?keepalive")});
    }
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe();

    std::vector<std::string> writeOut = splitLines(result.out);
    ASSERT_EQ(names.size(), writeOut.size()) << result.out;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string body = served(names[i]);
        EXPECT_EQ("200 " + std::string(i == 0 ? "1 " : "0 ") + std::to_string(body.size()),
                  writeOut[i])
            << names[i];
        EXPECT_TRUE(sameBytes(body, readFile(file("keepalive" + std::to_string(i))))) << names[i];
    }

    std::vector<std::string> expectedConsole;
    for (const std::string& name : names)
        expectedConsole.push_back("GET /" + name + "?keepalive 127.0.0.1");
    EXPECT_EQ(expectedConsole, waitConsoleLines(names.size()));

    // nginx writes its log line just after the response; wait for all five.
    std::vector<test::AccessLogLine> logged;
    test::waitUntil(
        [&] {
            logged.clear();
            for (const test::AccessLogLine& line : suite->nginx.accessLog())
                if (contains(line.request, "?keepalive"))
                    logged.push_back(line);
            return logged.size() >= names.size();
        },
        waitMs);
    ASSERT_EQ(names.size(), logged.size());
    for (size_t i = 0; i < logged.size(); ++i) {
        EXPECT_EQ(logged[0].connection, logged[i].connection) << logged[i].request;
        EXPECT_EQ(static_cast<int>(i + 1), logged[i].connectionRequest) << logged[i].request;
        EXPECT_EQ("GET /" + names[i] + "?keepalive HTTP/1.1", logged[i].request);
    }
}

// Error answers reach the client as the origin gave them: the whole status
// line, reason phrase of several words included, and the whole error body;
// after each the connection carries the next request (one connect in all).
TEST_F(ShoalBinaryTest, PassesErrorAnswersWholeAndKeepsTheConnection) {
    struct Case {
        const char* path;
        std::vector<std::string> options;
        const char* statusLine;
    };
    const Case cases[] = {
        {"/missing.txt", {}, "HTTP/1.1 404 Not Found"},
        {"/big.txt",
         {"-H", "Range: bytes=99999999-"},
         "HTTP/1.1 416 Requested Range Not Satisfiable"},
        {"/upload", {}, "HTTP/1.1 301 Moved Permanently"},
        {"/one.txt", {"-X", "DELETE"}, "HTTP/1.1 405 Not Allowed"},
        {"/one.txt", {}, "HTTP/1.1 200 OK"},
    };
    std::vector<std::string> args;
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (i > 0)
            args.push_back("--next");
        std::vector<std::string> transfer = viaProxy();
        args.insert(args.end(), transfer.begin(), transfer.end());
        args.insert(args.end(), cases[i].options.begin(), cases[i].options.end());
        args.insert(args.end(), {"-D", file("error-head" + std::to_string(i)), "-o",
                                 file("error-body" + std::to_string(i)), url(cases[i].path)});
    }
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe();
    std::vector<std::string> writeOut = splitLines(result.out);
    ASSERT_EQ(std::size(cases), writeOut.size()) << result.out;

    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::vector<std::string> head =
            splitLines(readFile(file("error-head" + std::to_string(i))));
        ASSERT_FALSE(head.empty()) << c.path;
        EXPECT_EQ(c.statusLine, head[0]) << c.path;
        EXPECT_EQ(i == 0 ? "1" : "0", writeOut[i].substr(4, 1)) << c.path << ": " << writeOut[i];
        // The same request straight to nginx gives the body to expect.
        std::vector<std::string> direct = {"-s", "-o", file("error-direct")};
        direct.insert(direct.end(), c.options.begin(), c.options.end());
        direct.push_back(url(c.path));
        ASSERT_EQ(0, curl(direct).status) << c.path;
        EXPECT_TRUE(sameBytes(readFile(file("error-direct")),
                              readFile(file("error-body" + std::to_string(i)))))
            << c.path;
    }
}

// A HEAD answer carries the length of a body that never comes: curl -I gets
// the head at once, and the next request on the same connection gets its
// body whole.
TEST_F(ShoalBinaryTest, HeadRequestFinishesAtOnceAndKeepsTheConnection) {
    std::vector<std::string> args = viaProxy();
    args.insert(args.end(), {"-I", "-o", file("head.txt"), url("/big.txt"), "--next"});
    std::vector<std::string> transfer = viaProxy();
    args.insert(args.end(), transfer.begin(), transfer.end());
    args.insert(args.end(), {"-o", file("after-head"), url("/page.html")});
    CommandResult result = curl(args, quickTimeoutSeconds);
    ASSERT_EQ(0, result.status) << result.describe();

    std::string head = readFile(file("head.txt"));
    ASSERT_FALSE(splitLines(head).empty());
    EXPECT_EQ("HTTP/1.1 200 OK", splitLines(head)[0]);
    EXPECT_EQ(std::to_string(3 * 1024 * 1024), headerValue(head, "Content-Length")) << head;
    EXPECT_EQ("text/plain", headerValue(head, "Content-Type")) << head;
    EXPECT_EQ((std::vector<std::string>{"200 1 0", "200 0 102400"}), splitLines(result.out));
    EXPECT_TRUE(sameBytes(served("page.html"), readFile(file("after-head"))));
    EXPECT_EQ((std::vector<std::string>{"HEAD /big.txt 127.0.0.1", "GET /page.html 127.0.0.1"}),
              waitConsoleLines(2));
}

// wget through the proxy, two files in one run, each byte for byte.
TEST_F(ShoalBinaryTest, WgetDownloadsByteExact) {
    std::string target = file("wget");
    CommandResult result = runCommand({"wget", "--no-config", "-q", "--tries=1", "--timeout=30",
                                       "-e", "use_proxy=yes", "-e", "http_proxy=" + proxyAddress,
                                       "-P", target, url("/big.txt"), url("/page.html")},
                                      clientTimeoutSeconds * 1000);
    ASSERT_EQ(0, result.status) << result.describe();
    EXPECT_TRUE(sameBytes(served("big.txt"), readFile(target + "/big.txt")));
    EXPECT_TRUE(sameBytes(served("page.html"), readFile(target + "/page.html")));
    EXPECT_EQ((std::vector<std::string>{"GET /big.txt 127.0.0.1", "GET /page.html 127.0.0.1"}),
              waitConsoleLines(2));
}

// HTTPS through CONNECT: shoal answers "200 Established" and carries the TLS
// bytes both ways; curl reuses the one tunnel for two files, so the console
// shows one CONNECT line (empty path, hence two spaces).
TEST_F(ShoalBinaryTest, TunnelsHttpsThroughConnect) {
    std::vector<std::string> args = {"-v", "-k"};
    std::vector<std::string> transfer = viaProxy();
    args.insert(args.end(), transfer.begin(), transfer.end());
    args.insert(args.end(), {"-o", file("tls-big"), tlsUrl("/big.txt"), "-o", file("tls-page"),
                             tlsUrl("/page.html")});
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe();
    EXPECT_TRUE(contains(result.err, "< HTTP/1.1 200 Established")) << result.err;
    EXPECT_EQ((std::vector<std::string>{"200 1 3145728", "200 0 102400"}), splitLines(result.out));
    EXPECT_TRUE(sameBytes(served("big.txt"), readFile(file("tls-big"))));
    EXPECT_TRUE(sameBytes(served("page.html"), readFile(file("tls-page"))));
    EXPECT_EQ((std::vector<std::string>{"CONNECT  127.0.0.1"}), waitConsoleLines(1));
}

// Large PUT uploads land byte for byte in nginx's WebDAV directory, sent
// with a length (and "Expect: 100-continue") or chunked from standard input.
TEST_F(ShoalBinaryTest, RelaysPutUploadsByteExactToNginx) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool fromStdin;
        const char* framing; // what curl must have sent, so the case is what it says
    };
    const Case cases[] = {
        {"length.bin", {"-T", uploadPath()}, false, "Expect: 100-continue"},
        {"stdin.bin", {"-T", "-"}, true, "Transfer-Encoding: chunked"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-v"};
        std::vector<std::string> transfer = viaProxy();
        args.insert(args.end(), transfer.begin(), transfer.end());
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"-o", "/dev/null", url(std::string("/upload/") + c.name)});
        CommandResult result = curl(args, clientTimeoutSeconds, c.fromStdin ? uploadPath() : "");
        ASSERT_EQ(0, result.status) << c.name << "\n" << result.describe();
        EXPECT_TRUE(contains(result.err, std::string("> ") + c.framing)) << c.name << result.err;
        EXPECT_EQ("201", result.out.substr(0, 3)) << c.name << ": " << result.out;
        EXPECT_TRUE(sameBytes(readFile(uploadPath()), served(std::string("upload/") + c.name)))
            << c.name;
    }
    EXPECT_EQ((std::vector<std::string>{"PUT /upload/length.bin 127.0.0.1",
                                        "PUT /upload/stdin.bin 127.0.0.1"}),
              waitConsoleLines(2));
}

// Large POST bodies with a length and chunked reach the origin whole; the
// origin's "100 Continue" and its answer come back.
TEST_F(ShoalBinaryTest, RelaysPostUploadsByteExact) {
    struct Case {
        const char* path;
        std::vector<std::string> options;
        const char* framing; // the field the origin must have received
    };
    const Case cases[] = {
        {"/post-length", {}, "Content-Length"},
        {"/post-chunked", {"-H", "Transfer-Encoding: chunked"}, "Transfer-Encoding"},
    };
    RecordingOrigin origin;
    std::string upload = readFile(uploadPath());
    for (const Case& c : cases) {
        std::vector<std::string> args = viaProxy();
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"--data-binary", "@" + uploadPath(), "-o", file("post"),
                                 "http://127.0.0.1:" + std::to_string(origin.port()) + c.path});
        CommandResult result = curl(args);
        ASSERT_EQ(0, result.status) << c.path << "\n" << result.describe();
        EXPECT_EQ("200", result.out.substr(0, 3)) << c.path << ": " << result.out;
        EXPECT_EQ("stored " + std::to_string(uploadSize) + " bytes\n", readFile(file("post")))
            << c.path;
    }
    std::vector<RecordingOrigin::Request> requests = origin.requests();
    ASSERT_EQ(std::size(cases), requests.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        // The head as the origin sees it: the target cut to its path, curl's
        // "Proxy-Connection" turned into "Connection".
        const std::string& head = requests[i].head;
        EXPECT_EQ(std::string("POST ") + cases[i].path + " HTTP/1.1", splitLines(head)[0]);
        EXPECT_EQ("", headerValue(head, "Proxy-Connection")) << head;
        EXPECT_EQ("keep-alive", headerValue(head, "Connection")) << head;
        EXPECT_NE("", headerValue(head, cases[i].framing)) << head;
        EXPECT_TRUE(sameBytes(upload, requests[i].body)) << cases[i].path;
    }
    EXPECT_EQ(
        (std::vector<std::string>{"POST /post-length 127.0.0.1", "POST /post-chunked 127.0.0.1"}),
        waitConsoleLines(2));
}

// A chunked answer (nginx gzip without a length) reaches the client whole:
// curl --compressed unpacks exactly the file.
TEST_F(ShoalBinaryTest, DeliversChunkedResponsesWhole) {
    for (const char* name : {wordsFile, "big.txt"}) {
        std::string path = std::string("/") + name;
        // Straight from nginx first: the answer really is chunked.
        CommandResult direct =
            curl({"-s", "-S", "--compressed", "-D", "-", "-o", "/dev/null", url(path)});
        ASSERT_EQ(0, direct.status) << direct.describe();
        ASSERT_EQ("chunked", headerValue(direct.out, "Transfer-Encoding")) << direct.out;

        std::vector<std::string> args = viaProxy();
        args.insert(args.end(),
                    {"--compressed", "-D", file("gzip-head"), "-o", file("gzip-body"), url(path)});
        CommandResult result = curl(args);
        ASSERT_EQ(0, result.status) << name << "\n" << result.describe();
        EXPECT_EQ("gzip", headerValue(readFile(file("gzip-head")), "Content-Encoding")) << name;
        EXPECT_TRUE(sameBytes(served(name), readFile(file("gzip-body")))) << name;
    }
}

// Many clients at once, each on its own connection and thread; every body
// arrives whole and every request has its console line.
TEST_F(ShoalBinaryTest, ServesParallelClientsByteExact) {
    const std::vector<std::string> names = {"big.txt", "page.html", "one.txt", "empty.txt"};
    constexpr int rounds = 4;
    std::vector<std::string> args = {"--parallel", "--parallel-max", "8"};
    std::vector<std::string> expectedConsole;
    for (int round = 0; round < rounds; ++round)
        for (const std::string& name : names) {
            std::string tag = std::to_string(round) + name;
            std::vector<std::string> transfer = viaProxy();
            args.insert(args.end(), transfer.begin(), transfer.end());
            args.insert(args.end(), {"-o", file("parallel" + tag), url("/" + name + "?" + tag)});
            expectedConsole.push_back("GET /" + name + "?" + tag + " 127.0.0.1");
        }
    CommandResult result = curl(args);
    ASSERT_EQ(0, result.status) << result.describe();
    for (int round = 0; round < rounds; ++round)
        for (const std::string& name : names)
            EXPECT_TRUE(
                sameBytes(served(name), readFile(file("parallel" + std::to_string(round) + name))))
                << round << name;
    std::vector<std::string> console = waitConsoleLines(expectedConsole.size());
    std::sort(console.begin(), console.end());
    std::sort(expectedConsole.begin(), expectedConsole.end());
    EXPECT_EQ(expectedConsole, console);
}

// A second shoal cannot listen while the first holds the port: it exits with
// status 1 and one line on stderr that names the port; the first serves on.
TEST_F(ShoalBinaryTest, SecondInstanceExitsWithStatusOneNamingThePort) {
    test::ChildProcess second;
    ASSERT_TRUE(second.start({SHOAL_BINARY}, file("second.out"), file("second.err")));
    int status = -1;
    ASSERT_TRUE(second.waitExit(waitMs, status)) << "the second shoal is still running";
    EXPECT_EQ(1, status);
    std::vector<std::string> err = splitLines(readFile(file("second.err")));
    ASSERT_EQ(1u, err.size()) << readFile(file("second.err"));
    EXPECT_TRUE(contains(err[0], std::to_string(HttpServer::proxyPort))) << err[0];
    EXPECT_EQ("", readFile(file("second.out")));

    std::vector<std::string> args = viaProxy();
    args.insert(args.end(), {"-o", "/dev/null", url("/one.txt")});
    CommandResult result = curl(args, quickTimeoutSeconds);
    EXPECT_EQ(0, result.status) << result.describe();
    EXPECT_EQ("200 1 1\n", result.out);
}

// Targets that cannot be served get no answer at all: the connection is
// closed at once (curl: 52 "empty reply" for a request, 56 for a refused
// CONNECT). A target that is the proxy itself does not make it connect to
// itself over and over. Each request still has its console line, and the
// proxy serves the next client.
TEST_F(ShoalBinaryTest, ClosesWithoutAnswerForLoopingOrUnreachableTargets) {
    const std::string self = std::to_string(HttpServer::proxyPort);
    const std::string closed = std::to_string(test::freePort());
    struct Case {
        std::string target;
        bool tunnel; // curl -p: CONNECT to the target
        int curlStatus;
        std::string consoleLine;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + self + "/", false, 52, "GET / 127.0.0.1"},
        {"http://localhost:" + self + "/", false, 52, "GET / localhost"},
        {"http://127.0.0.1:" + self + "/", true, 56, "CONNECT  127.0.0.1"},
        {"http://127.0.0.1:" + closed + "/", false, 52, "GET / 127.0.0.1"},
        {"http://127.0.0.1:" + closed + "/", true, 56, "CONNECT  127.0.0.1"},
    };
    for (const Case& c : cases) {
        size_t before = consoleLines().size();
        std::vector<std::string> args = {"-s", "-S", "-x", proxyAddress};
        if (c.tunnel)
            args.push_back("-p");
        args.push_back(c.target);
        CommandResult result = curl(args, quickTimeoutSeconds);
        EXPECT_EQ(c.curlStatus, result.status) << result.describe();
        EXPECT_EQ("", result.out) << c.target;
        std::vector<std::string> console = waitConsoleLines(before + 1);
        ASSERT_EQ(before + 1, console.size()) << c.target;
        EXPECT_EQ(c.consoleLine, console.back()) << c.target;
    }
    std::vector<std::string> args = viaProxy();
    args.insert(args.end(), {"-o", "/dev/null", url("/one.txt")});
    CommandResult result = curl(args, quickTimeoutSeconds);
    EXPECT_EQ(0, result.status) << result.describe();
    EXPECT_EQ("200 1 1\n", result.out);
}

// Connections that end give their threads and descriptors back: after a
// burst of requests for the proxy itself (each also a connection the proxy
// makes to itself) and one more client, shoal is back to its idle figures.
TEST_F(ShoalBinaryTest, ReturnsToIdleThreadsAndDescriptorsAfterLoopingRequests) {
    std::vector<std::string> single = viaProxy();
    single.insert(single.end(), {"-o", "/dev/null", url("/one.txt")});
    ASSERT_EQ("200 1 1\n", curl(single, quickTimeoutSeconds).out);
    pid_t pid = suite->shoal.pid();
    const test::Figures idle = test::idleFigures(pid);

    constexpr int burst = 20;
    std::vector<std::string> args = {"-s", "-x", proxyAddress};
    for (int i = 0; i < burst; ++i)
        args.push_back("http://127.0.0.1:" + std::to_string(HttpServer::proxyPort) + "/loop" +
                       std::to_string(i));
    CommandResult looping = curl(args, quickTimeoutSeconds);
    EXPECT_EQ(52, looping.status) << looping.describe();
    EXPECT_EQ(static_cast<size_t>(burst + 1), waitConsoleLines(burst + 1).size());

    // The next client makes the listener reap the finished connections.
    EXPECT_EQ("200 1 1\n", curl(single, quickTimeoutSeconds).out);
    test::Figures now;
    EXPECT_TRUE(test::waitForFigures(pid, idle, 0, waitMs, now)) << now << "; idle: " << idle;
}
