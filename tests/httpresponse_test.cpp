#include "httpresponse.h"

#include <gtest/gtest.h>

#include <thread>

#include "testsupport.h"

namespace {

// Parses the response head in __wire; __sent receives what sendResponse writes.
bool parseWire(HttpResponse& __response, const std::string& __wire, bool __head = false,
               std::string* __sent = nullptr) {
    test::TcpPair pair;
    pair.near->send(__wire.data(), static_cast<int>(__wire.size()));
    pair.near->shutdown();
    bool result = __response.parseResponse(pair.far.get(), __head);
    if (result && __sent) {
        test::TcpPair out;
        __response.sendResponse(out.near.get());
        out.near->shutdown();
        char buffer[4096];
        int n;
        while ((n = out.far->receive(buffer, sizeof buffer)) > 0)
            __sent->append(buffer, static_cast<size_t>(n));
    }
    return result;
}

TEST(HttpResponseTest, RelaysTheWholeStatusLine) {
    struct {
        const char* statusLine;
        const char* sent;
    } cases[] = {
        {"HTTP/1.1 404 Not Found", "HTTP/1.1 404 Not Found\r\n"},
        {"HTTP/1.1 200 OK", "HTTP/1.1 200 OK\r\n"},
        {"HTTP/1.1 204", "HTTP/1.1 204 \r\n"},
        {"HTTP/1.0 500 Internal  Server Error", "HTTP/1.0 500 Internal  Server Error\r\n"},
    };
    for (const auto& c : cases) {
        HttpResponse response;
        std::string sent;
        ASSERT_TRUE(parseWire(response,
                              std::string("\r\n") + c.statusLine + "\r\nContent-Length: 0\r\n\r\n",
                              false, &sent))
            << c.statusLine;
        EXPECT_EQ(sent, std::string(c.sent) + "Content-Length: 0\r\n\r\n") << c.statusLine;
    }
    HttpResponse response;
    EXPECT_FALSE(parseWire(response, "HTTP/1.1 200 O")); // cut off before the line end
    EXPECT_FALSE(parseWire(response, ""));
    // Closed inside the head: the fields read may be cut short.
    EXPECT_FALSE(parseWire(response, "HTTP/1.1 200 OK\r\n"));
    EXPECT_FALSE(parseWire(response, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Le"));
    EXPECT_FALSE(parseWire(response, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r"));
}

TEST(HttpResponseTest, DerivesHowTheBodyIsRelayed) {
    struct Case {
        const char* head;
        bool headRequest;
        bool hasBody;
        bool chunked;
        bool lengthKnown;
        uint64_t length;
        bool willClose;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n", false, true, false, true, 10, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", false, false, false, true, 0, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\n", false, true, false, true,
         5000000000ull, false},
        {"HTTP/1.1 200 OK\r\n", false, true, false, false, 0, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n", false, true, false, false, 0, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n", false, true, false, false,
         0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", false, true, true, false, 0, true},
        {"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\nContent-Length: 7\r\n", false, true,
         true, false, 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 7\r\n", false, true, false,
         false, 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n", false, true, false, false, 0, true},
        // More codings than chunked alone: relayed as they are, until the close.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", false,
         true, false, false, 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", false,
         true, false, false, 0, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n", false, true, false, true,
         10, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: Close\r\n", false, true, false, true,
         10, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n", false, true, false, true, 10, false},
        // No body by rule, whatever the length says, and no close for a missing one.
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n", true, false, false, true, 10, false},
        {"HTTP/1.1 200 OK\r\n", true, false, false, false, 0, false},
        {"HTTP/1.1 204 No Content\r\n", false, false, false, false, 0, false},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n", false, false, false, true, 99,
         false},
        {"HTTP/1.1 100 Continue\r\n", false, false, false, false, 0, false},
        {"HTTP/1.1 101 Switching Protocols\r\n", false, false, false, false, 0, true},
    };
    for (const Case& c : cases) {
        HttpResponse response;
        ASSERT_TRUE(parseWire(response, std::string(c.head) + "\r\n", c.headRequest)) << c.head;
        EXPECT_EQ(response.hasBody(), c.hasBody) << c.head;
        EXPECT_EQ(response.isChunked(), c.chunked) << c.head;
        EXPECT_EQ(response.hasContentLength(), c.lengthKnown) << c.head;
        if (c.lengthKnown) {
            EXPECT_EQ(response.getContentLength(), c.length) << c.head;
        }
        EXPECT_EQ(response.wouldClose(), c.willClose) << c.head;
    }
}

TEST(HttpResponseTest, ChunkedHeadLosesItsFramingFields) {
    HttpResponse response;
    std::string sent;
    ASSERT_TRUE(parseWire(response,
                          "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nTransfer-Encoding: chunked\r\n"
                          "Content-Type: text/plain\r\n\r\n",
                          false, &sent));
    EXPECT_EQ(sent, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n");
}

// A framing field with white space before its colon does not reach the
// client, which could read it as framing where the proxy reads none.
TEST(HttpResponseTest, DropsFramingFieldsWithWhiteSpaceBeforeTheColon) {
    struct Case {
        const char* fields;
        const char* sent;
        bool lengthKnown;
    } cases[] = {
        {"Content-Length : 5\r\nContent-Length: 3\r\n", "Content-Length: 3\r\n", true},
        {"Transfer-Encoding\t: chunked\r\nContent-Length: 3\r\n", "Content-Length: 3\r\n", true},
        {"content-length  : 5\r\nAccept-Ranges : bytes\r\n", "Accept-Ranges : bytes\r\n", false},
    };
    for (const Case& c : cases) {
        HttpResponse response;
        std::string sent;
        ASSERT_TRUE(parseWire(response, std::string("HTTP/1.1 200 OK\r\n") + c.fields + "\r\n",
                              false, &sent));
        EXPECT_EQ(sent, std::string("HTTP/1.1 200 OK\r\n") + c.sent + "\r\n") << c.fields;
        EXPECT_EQ(response.hasContentLength(), c.lengthKnown) << c.fields;
        EXPECT_EQ(response.wouldClose(), !c.lengthKnown) << c.fields;
    }
}

TEST(HttpResponseTest, TellsInterimResponses) {
    struct {
        const char* status;
        bool interim;
    } cases[] = {{"100", true},  {"103", true}, {"101", false},
                 {"200", false}, {"1", false},  {"1p1", false}};
    for (const auto& c : cases) {
        HttpResponse response;
        ASSERT_TRUE(parseWire(response, std::string("HTTP/1.1 ") + c.status + " X\r\n\r\n"));
        EXPECT_EQ(response.isInterim(), c.interim) << c.status;
    }
}

TEST(HttpResponseTest, ReadsTheContentRangeOfPartialAnswers) {
    const uint64_t unknown = UINT64_MAX;
    const struct {
        const char* field; // "" for none
        bool valid;
        uint64_t first, last, complete;
    } cases[] = {
        {"bytes 65536-999999/1000000", true, 65536, 999999, 1000000},
        {"Bytes 0-0/1", true, 0, 0, 1},
        {"bytes 10-19/*", true, 10, 19, unknown},
        {"", false, 0, 0, 0},
        {"bytes 20-10/100", false, 0, 0, 0},
        {"bytes */100", false, 0, 0, 0},
        {"bytes 1-2", false, 0, 0, 0},
        {"items 1-2/3", false, 0, 0, 0},
        {"bytes -5-10/100", false, 0, 0, 0},
        {"bytes 1-99999999999999999999/100", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        HttpResponse response;
        std::string head = "HTTP/1.1 206 Partial Content\r\n";
        if (*c.field)
            head += std::string("Content-Range: ") + c.field + "\r\n";
        ASSERT_TRUE(parseWire(response, head + "\r\n")) << c.field;
        uint64_t first = 0, last = 0, complete = 0;
        ASSERT_EQ(response.findContentRange(first, last, complete), c.valid) << c.field;
        if (c.valid) {
            EXPECT_EQ(first, c.first) << c.field;
            EXPECT_EQ(last, c.last) << c.field;
            EXPECT_EQ(complete, c.complete) << c.field;
        }
    }
}

} // namespace
