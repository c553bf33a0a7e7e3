// The connection loop end to end inside this process: a client socket, the
// proxy's listener on an ephemeral port, and scripted origins.
#include "httpconnection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <strings.h>

#include "testsupport.h"

namespace {

using test::OriginConnection;
using test::ScriptedOrigin;

std::string okResponse(const std::string& __body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(__body.size()) + "\r\n\r\n" +
           __body;
}

// An origin that answers every request on a connection with the path it asked
// for, keeping the connection alive.
ScriptedOrigin::Handler echoPath() {
    return [](OriginConnection& __conn, int) {
        for (std::string head; !(head = __conn.readHead()).empty();) {
            std::string path = head.substr(head.find(' ') + 1);
            path = path.substr(0, path.find(' '));
            __conn.send(okResponse(path));
        }
    };
}

// Reads one response with a Content-Length body (or no body) from __fd.
std::string readResponse(int __fd, bool __headOnly = false) {
    std::string head = test::readUntil(__fd, "\r\n\r\n");
    size_t field = std::string::npos;
    for (size_t i = 0; i + 15 < head.size(); ++i)
        if (strncasecmp(head.c_str() + i, "\ncontent-length:", 16) == 0)
            field = i + 16;
    if (__headOnly || field == std::string::npos)
        return head;
    return head + test::readExactly(__fd, std::stoul(head.substr(field)));
}

std::string get(const std::string& __url, const char* __extra = "") {
    return "GET " + __url + " HTTP/1.1\r\nHost: x\r\n" + __extra + "\r\n";
}

std::string url(int __port, const std::string& __path) {
    return "http://127.0.0.1:" + std::to_string(__port) + __path;
}

class HttpConnectionTest : public ::testing::Test {
protected:
    // Fresh connection to the proxy; closed by TearDown.
    int connectClient() {
        int fd = test::connectTo(proxy.port());
        clients.push_back(fd);
        return fd;
    }
    void TearDown() override {
        for (int fd : clients)
            close(fd);
    }
    test::InProcessProxy proxy;
    std::vector<int> clients;
};

TEST_F(HttpConnectionTest, ReusesTheOriginConnectionPerHostAndPort) {
    ScriptedOrigin a(echoPath()), b(echoPath());
    int client = connectClient();
    const std::pair<int, const char*> requests[] = {
        {a.port(), "/1"}, {a.port(), "/2"}, {b.port(), "/3"}, {a.port(), "/4"}};
    for (const auto& request : requests) {
        ASSERT_TRUE(test::sendAll(client, get(url(request.first, request.second))));
        std::string response = readResponse(client);
        EXPECT_EQ(response.substr(response.size() - 2), request.second);
    }
    EXPECT_EQ(a.connectionCount(), 2); // /1 and /2 on one connection, /4 on another
    EXPECT_EQ(b.connectionCount(), 1);
}

TEST_F(HttpConnectionTest, RetriesOnceWhenAKeptAliveOriginConnectionWentStale) {
    ScriptedOrigin origin([](OriginConnection& __conn, int __index) {
        __conn.readHead();
        __conn.send(okResponse(__index == 0 ? "first" : "second"));
        if (__index == 0)
            __conn.close(); // closes while the proxy keeps it for the next request
        else
            echoPath()(__conn, __index);
    });
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/a")));
    EXPECT_NE(readResponse(client).find("first"), std::string::npos);
    usleep(100 * 1000);
    test::sendAll(client, get(url(origin.port(), "/b")));
    EXPECT_NE(readResponse(client).find("second"), std::string::npos);
    EXPECT_EQ(origin.connectionCount(), 2);
}

TEST_F(HttpConnectionTest, NeverResendsARequestWithABody) {
    ScriptedOrigin origin([](OriginConnection& __conn, int __index) {
        __conn.readHead();
        __conn.send(okResponse("first"));
        if (__index == 0)
            __conn.close();
    });
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/a")));
    readResponse(client);
    usleep(100 * 1000);
    test::sendAll(client, "POST " + url(origin.port(), "/b") +
                              " HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_TRUE(test::waitClosed(client));
    EXPECT_EQ(origin.connectionCount(), 1);
}

TEST_F(HttpConnectionTest, PassesInterimResponsesOnBeforeTheFinalOne) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n" +
                    okResponse("done"));
        echoPath()(__conn, 0);
    });
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/a")));
    EXPECT_EQ(test::readUntil(client, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(test::readUntil(client, "\r\n\r\n"), "HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n");
    EXPECT_EQ(readResponse(client), okResponse("done"));
    test::sendAll(client, get(url(origin.port(), "/next")));
    EXPECT_EQ(readResponse(client), okResponse("/next"));
}

TEST_F(HttpConnectionTest, PassesTheOriginsContinueOnBeforeTheBody) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send("HTTP/1.1 100 Continue\r\n\r\n");
        __conn.send(okResponse(__conn.readBytes(4)));
        echoPath()(__conn, 0);
    });
    int client = connectClient();
    test::sendAll(client, "PUT " + url(origin.port(), "/u") +
                              " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    // The client sends its body only once it has the interim answer.
    ASSERT_EQ(test::readUntil(client, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    test::sendAll(client, "body");
    EXPECT_EQ(readResponse(client), okResponse("body"));
    test::sendAll(client, get(url(origin.port(), "/next")));
    EXPECT_EQ(readResponse(client), okResponse("/next"));
}

// Bytes that arrive together with a head (read with it, ahead of the relays)
// are relayed without waiting for more: a body sent at once despite "Expect:
// 100-continue", and a second request sent right behind the first.
TEST_F(HttpConnectionTest, RelaysBytesThatArrivedWithTheHead) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send(okResponse(__conn.readBytes(4)));
        echoPath()(__conn, 0);
    });
    int client = connectClient();
    test::sendAll(client, "PUT " + url(origin.port(), "/u") +
                              " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"
                              "body" +
                              get(url(origin.port(), "/a")) + get(url(origin.port(), "/b")));
    EXPECT_EQ(readResponse(client), okResponse("body"));
    EXPECT_EQ(readResponse(client), okResponse("/a"));
    EXPECT_EQ(readResponse(client), okResponse("/b"));
}

TEST_F(HttpConnectionTest, ClosesAfterAFinalAnswerThatCameBeforeTheBody) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send("HTTP/1.1 417 Expectation Failed\r\nContent-Length: 2\r\n\r\nno");
        __conn.readHead();
    });
    int client = connectClient();
    test::sendAll(client, "POST " + url(origin.port(), "/u") +
                              " HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    EXPECT_EQ(test::readAll(client),
              "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 2\r\n\r\nno");
}

TEST_F(HttpConnectionTest, ResponsesWithoutABodyByRuleDoNotWaitForOne) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        std::string head = __conn.readHead();
        __conn.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"); // answers HEAD
        __conn.readHead();
        __conn.send("HTTP/1.1 204 No Content\r\n\r\n");
        __conn.readHead();
        __conn.send("HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n");
        echoPath()(__conn, 0);
    });
    int client = connectClient();
    test::sendAll(client, "HEAD " + url(origin.port(), "/h") + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(readResponse(client, true), "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    test::sendAll(client, get(url(origin.port(), "/204")));
    EXPECT_EQ(readResponse(client, true), "HTTP/1.1 204 No Content\r\n\r\n");
    test::sendAll(client, get(url(origin.port(), "/304")));
    EXPECT_EQ(readResponse(client, true),
              "HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n");
    test::sendAll(client, get(url(origin.port(), "/after")));
    EXPECT_EQ(readResponse(client), okResponse("/after"));
}

TEST_F(HttpConnectionTest, ClosesTheClientAfterABodyThatEndedEarly) {
    struct {
        const char* name;
        std::string response;
        bool originCloses;
        std::string received;
    } cases[] = {
        {"origin closes inside the body",
         "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..", true,
         "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten.."},
        {"chunk longer than its size line",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n", false,
         "HTTP/1.1 200 OK\r\n\r\nabc"},
        {"chunk size beyond 64 bits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000001\r\nab", false,
         "HTTP/1.1 200 OK\r\n\r\n"},
    };
    for (const auto& c : cases) {
        ScriptedOrigin origin([&](OriginConnection& __conn, int) {
            __conn.readHead();
            __conn.send(c.response);
            if (c.originCloses)
                __conn.close();
            else
                __conn.readHead(); // keeps its end open: only the proxy may close
        });
        int client = connectClient();
        test::sendAll(client, get(url(origin.port(), "/x")));
        EXPECT_EQ(test::readAll(client, 20000), c.received) << c.name; // ends with the close
    }
}

TEST_F(HttpConnectionTest, DeframesChunkedResponsesAndClosesAfterThem) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
                    "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
        __conn.readHead();
    });
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/c")));
    EXPECT_EQ(test::readAll(client), "HTTP/1.1 200 OK\r\n\r\nhello world");
}

TEST_F(HttpConnectionTest, RelaysABodyWithoutLengthUntilTheOriginCloses) {
    std::string body(300000, 'n');
    ScriptedOrigin origin([&](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.send("HTTP/1.0 200 OK\r\n\r\n" + body);
        __conn.close();
    });
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/n")));
    EXPECT_EQ(test::readAll(client), "HTTP/1.0 200 OK\r\n\r\n" + body);
}

TEST_F(HttpConnectionTest, TunnelsConnectBothWays) {
    ScriptedOrigin origin([](OriginConnection& __conn, int) {
        EXPECT_EQ(__conn.readBytes(5), "HELLO"); // sent right behind the CONNECT head
        __conn.send("WORLD");
        EXPECT_EQ(__conn.readBytes(3), "bye");
    });
    int client = connectClient();
    test::sendAll(client,
                  "CONNECT 127.0.0.1:" + std::to_string(origin.port()) + " HTTP/1.1\r\n\r\nHELLO");
    EXPECT_EQ(test::readUntil(client, "WORLD"), "HTTP/1.1 200 Established\r\n\r\nWORLD");
    test::sendAll(client, "bye");
    EXPECT_TRUE(test::waitClosed(client)); // the origin's close ends the tunnel
}

TEST_F(HttpConnectionTest, ClosesWithoutAReplyWhenTheOriginCannotBeReached) {
    int port = test::freePort();
    for (std::string request :
         {"CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n", get(url(port, "/"))}) {
        int client = connectClient();
        test::sendAll(client, request);
        EXPECT_EQ(test::readAll(client), "") << request;
    }
}

TEST_F(HttpConnectionTest, RefusesRequestsForItsOwnPort) {
    ScriptedOrigin origin(echoPath());
    int client = connectClient();
    test::sendAll(client, get(url(proxy.port(), "/loop")));
    EXPECT_EQ(test::readAll(client), "");
    // It goes on serving.
    int next = connectClient();
    test::sendAll(next, get(url(origin.port(), "/ok")));
    EXPECT_EQ(readResponse(next), okResponse("/ok"));
}

TEST_F(HttpConnectionTest, EndsConnectionsWhoseHeadBreaksTheLimits) {
    ScriptedOrigin origin(echoPath());
    std::string fields;
    for (int i = 0; i < 201; ++i)
        fields += "F" + std::to_string(i) + ": v\r\n";
    int client = connectClient();
    test::sendAll(client, get(url(origin.port(), "/"), fields.c_str()));
    EXPECT_EQ(test::readAll(client), "");
    EXPECT_EQ(origin.connectionCount(), 0);
}

TEST(HttpConnectionTimeoutTest, ClosesIdleClientsAndSilentOrigins) {
    HttpConnection::clientIdleMs = 200;
    HttpConnection::originTimeoutMs = 200;
    test::InProcessProxy proxy;
    ScriptedOrigin silent([](OriginConnection& __conn, int) {
        __conn.readHead();
        __conn.readHead(); // never answers
    });
    int idle = test::connectTo(proxy.port());
    int halfHead = test::connectTo(proxy.port());
    test::sendAll(halfHead, "GET http://127.0.0.1/ HTTP/1.1\r\nHost: ");
    int waiting = test::connectTo(proxy.port());
    test::sendAll(waiting, get(url(silent.port(), "/")));
    EXPECT_TRUE(test::waitClosed(idle));
    EXPECT_TRUE(test::waitClosed(halfHead));
    EXPECT_EQ(test::readAll(waiting), "");
    close(idle);
    close(halfHead);
    close(waiting);
}

} // namespace
