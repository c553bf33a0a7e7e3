#include "httprequest.h"

#include <gtest/gtest.h>

#include <thread>

#include "testsupport.h"

namespace {

// A client connection whose peer has written __wire; the request is parsed
// from `client.far`, and what the request sends goes to `origin.near`.
struct RequestWire {
    explicit RequestWire(const std::string& __wire) {
        writer = std::thread(
            [this, __wire] { client.near->send(__wire.data(), static_cast<int>(__wire.size())); });
    }
    ~RequestWire() {
        client.near->shutdown();
        writer.join();
    }
    // Sends the request to the origin side and returns what arrived there.
    std::string forward(HttpRequest& __request, bool* __result = nullptr) {
        std::string wire;
        std::thread reader([&] {
            char buffer[65536];
            int n;
            while ((n = origin.far->receive(buffer, sizeof buffer)) > 0)
                wire.append(buffer, static_cast<size_t>(n));
        });
        bool result = __request.sendRequest(origin.near.get());
        origin.near->shutdown();
        reader.join();
        if (__result)
            *__result = result;
        return wire;
    }
    test::TcpPair client, origin;
    std::thread writer;
};

TEST(HttpRequestTest, SplitsTargets) {
    struct {
        const char* requestLine;
        const char* hostField;
        const char* command;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {"GET http://h.example:8080/a/b?c=d HTTP/1.1", nullptr, "GET", "h.example", 8080,
         "/a/b?c=d"},
        {"get HTTP://H.example/x HTTP/1.1", nullptr, "GET", "H.example", 80, "/x"},
        {"GET http://h.example HTTP/1.1", nullptr, "GET", "h.example", 80, "/"},
        {"GET http://h.example:8080 HTTP/1.1", nullptr, "GET", "h.example", 8080, "/"},
        {"GET http://h.example?q=1 HTTP/1.1", nullptr, "GET", "h.example", 80, "/?q=1"},
        {"GET http://h.example:abc/ HTTP/1.1", nullptr, "GET", "h.example", 0, "/"},
        {"CONNECT h.example:443 HTTP/1.1", nullptr, "CONNECT", "h.example", 443, ""},
        {"connect h.example HTTP/1.1", nullptr, "CONNECT", "h.example", 80, ""},
        {"GET /p HTTP/1.1", "h.example:81", "GET", "h.example", 81, "/p"},
        {"GET /p HTTP/1.1", nullptr, "GET", "", 80, "/p"},
        {"GET ftp://f.example/x HTTP/1.1", "h.example", "GET", "h.example", 80,
         "ftp://f.example/x"},
    };
    for (const auto& c : cases) {
        std::string wire = std::string(c.requestLine) + "\r\n";
        if (c.hostField)
            wire += std::string("Host: ") + c.hostField + "\r\n";
        RequestWire connection(wire + "\r\n");
        HttpRequest request;
        ASSERT_TRUE(request.parseRequest(connection.client.far.get())) << c.requestLine;
        EXPECT_EQ(request.getCommand(), c.command) << c.requestLine;
        EXPECT_EQ(request.getHost(), c.host) << c.requestLine;
        EXPECT_EQ(request.getPort(), c.port) << c.requestLine;
        EXPECT_EQ(request.getPath(), c.path) << c.requestLine;
    }
}

TEST(HttpRequestTest, NeverFallsBackToThePreviousTarget) {
    RequestWire connection("GET http://a.example:81/old HTTP/1.1\r\n\r\n"
                           "GET http://b.example HTTP/1.1\r\n\r\n");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    EXPECT_EQ(request.getHost(), "b.example");
    EXPECT_EQ(request.getPort(), 80);
    EXPECT_EQ(request.getPath(), "/");
}

TEST(HttpRequestTest, TakesLongWordsWhole) {
    std::string target = "http://h.example/download?sig=" + std::string(5000, 's');
    std::string method = "PROPPATCHX";
    RequestWire connection(method + " " + target + " HTTP/1.1\r\n\r\n");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    EXPECT_EQ(request.getCommand(), method);
    EXPECT_EQ(request.getPath(), target.substr(16));
    EXPECT_EQ(request.getVersion(), "HTTP/1.1");
}

TEST(HttpRequestTest, RewritesTheHeadForTheOrigin) {
    RequestWire connection("\r\n\r\nGET http://h.example:8080/a/b?c=d HTTP/1.1\r\n"
                           "Host: h.example:8080\r\n"
                           "Proxy-Connection: keep-alive\r\n"
                           "Accept: */*\r\n\r\n");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    EXPECT_FALSE(request.wouldClose());
    EXPECT_EQ(connection.forward(request), "GET /a/b?c=d HTTP/1.1\r\n"
                                           "Host: h.example:8080\r\n"
                                           "Accept: */*\r\n"
                                           "Connection: keep-alive\r\n\r\n");
}

TEST(HttpRequestTest, DecidesTheConnectionFromProxyConnection) {
    struct {
        const char* fields;
        bool willClose;
        const char* sentFields;
    } cases[] = {
        {"Proxy-Connection: close\r\n", true, "Connection: close\r\n"},
        {"proxy-connection: Close\r\n", false, "Connection: keep-alive\r\n"},
        {"Connection: close\r\n", false, "Connection: keep-alive\r\n"},
        {"Proxy-Connection: close\r\nProxy-Connection: x\r\n", true,
         "Proxy-Connection: x\r\nConnection: close\r\n"},
    };
    for (const auto& c : cases) {
        RequestWire connection(std::string("GET /x HTTP/1.1\r\n") + c.fields + "\r\n");
        HttpRequest request;
        ASSERT_TRUE(request.parseRequest(connection.client.far.get())) << c.fields;
        EXPECT_EQ(request.wouldClose(), c.willClose) << c.fields;
        EXPECT_EQ(connection.forward(request),
                  std::string("GET /x HTTP/1.1\r\n") + c.sentFields + "\r\n")
            << c.fields;
    }
}

TEST(HttpRequestTest, RelaysBodiesOfAnyMethodWhole) {
    std::string body(20000, 'p');
    for (const char* method : {"POST", "PUT", "PATCH"}) {
        RequestWire connection(std::string(method) +
                               " /u HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + body +
                               "GET /next HTTP/1.1\r\n\r\n");
        HttpRequest request;
        ASSERT_TRUE(request.parseRequest(connection.client.far.get())) << method;
        EXPECT_TRUE(request.hasBody());
        bool sent = false;
        std::string wire = connection.forward(request, &sent);
        EXPECT_TRUE(sent) << method;
        EXPECT_EQ(wire,
                  std::string(method) +
                      " /u HTTP/1.1\r\nContent-Length: 20000\r\nConnection: keep-alive\r\n\r\n" +
                      body)
            << method;
        // The body's bytes never become the next request.
        ASSERT_TRUE(request.parseRequest(connection.client.far.get())) << method;
        EXPECT_EQ(request.getPath(), "/next") << method;
    }
}

TEST(HttpRequestTest, RelaysChunkedBodiesWithTheirFraming) {
    std::string chunked = "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n";
    RequestWire connection("POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                           "Content-Length: 999\r\n\r\n" +
                           chunked + "GET /next HTTP/1.1\r\n\r\n");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    bool sent = false;
    EXPECT_EQ(connection.forward(request, &sent),
              "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n" +
                  chunked);
    EXPECT_TRUE(sent);
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    EXPECT_EQ(request.getPath(), "/next");
}

TEST(HttpRequestTest, ReportsABodyCutShort) {
    RequestWire connection("POST /u HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    connection.client.near->shutdown();
    bool sent = true;
    connection.forward(request, &sent);
    EXPECT_FALSE(sent);
}

TEST(HttpRequestTest, RefusesHeadsWhoseBodyEndIsUnknown) {
    const char* fields[] = {
        "Content-Length: abc\r\n",
        "Content-Length: -1\r\n",
        "Content-Length: 3\r\nContent-Length: 4\r\n",
        "Transfer-Encoding: gzip\r\n",
        // White space before the colon: framing to some origins, none to others.
        "Content-Length : 5\r\n",
        "content-length\t: 5\r\n",
        "Transfer-Encoding  : chunked\r\n",
    };
    for (const char* field : fields) {
        RequestWire connection(std::string("POST /u HTTP/1.1\r\n") + field + "\r\n");
        HttpRequest request;
        EXPECT_FALSE(request.parseRequest(connection.client.far.get())) << field;
    }
    // Any other field may have it: it is forwarded under its name as read.
    RequestWire connection("GET /u HTTP/1.1\r\nAccept : */*\r\nContent-Lengths : 5\r\n\r\n");
    HttpRequest request;
    ASSERT_TRUE(request.parseRequest(connection.client.far.get()));
    EXPECT_FALSE(request.hasBody());
}

// A client that closes before the empty line behind its fields has not made a
// request: nothing of it may reach an origin.
TEST(HttpRequestTest, FailsWithoutAWholeHead) {
    for (const char* wire :
         {"", "\r\n\r\n", "GET http://h.example/ HT", "GET http://h.example/ HTTP/1.1\r\n",
          "GET http://h.example/ HTTP/1.1\r\nHost: h.example\r\n",
          "POST http://h.example/ HTTP/1.1\r\nContent-Length: 5\r\nAcc"}) {
        RequestWire connection(wire);
        connection.client.near->shutdown();
        HttpRequest request;
        EXPECT_FALSE(request.parseRequest(connection.client.far.get())) << wire;
    }
}

} // namespace
