#include "httpsocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "testsupport.h"

namespace {

struct LineCase {
    const char* wire;
    bool result;
    const char* line;
};

TEST(HttpSocketTest, ReadsLinesWithoutCrAndLf) {
    const LineCase cases[] = {
        {"GET / HTTP/1.1\r\n", true, "GET / HTTP/1.1"},
        {"\r\n", true, ""},
        {"\n", true, ""},
        {"a\rb\n", true, "ab"},
        {"abc", false, "abc"}, // the peer closes before the line end
    };
    for (const LineCase& c : cases) {
        test::TcpPair pair;
        std::string wire = c.wire;
        ASSERT_EQ(pair.near->send(wire.data(), static_cast<int>(wire.size())),
                  static_cast<int>(wire.size()));
        pair.near->shutdown();
        std::string line = "stale";
        EXPECT_EQ(pair.far->receive(line), c.result) << c.wire;
        EXPECT_EQ(line, c.line) << c.wire;
    }
}

TEST(HttpSocketTest, KeepsNulAndHighBytesAndLeavesBodyBytesUnread) {
    test::TcpPair pair;
    std::string wire("a\0\xff\r\nBODY", 9);
    pair.near->send(wire.data(), static_cast<int>(wire.size()));
    std::string line;
    ASSERT_TRUE(pair.far->receive(line));
    EXPECT_EQ(line, std::string("a\0\xff", 3));
    char body[4];
    ASSERT_EQ(pair.far->receive(body, 4), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
}

// A line read takes what one receive brings; the bytes behind the line come
// out first, in order, from the next reads of either kind, and count as
// received only when taken.
TEST(HttpSocketTest, ServesReadAheadBytesFirstAndInOrder) {
    test::TcpPair pair;
    std::string first = "L1\r\nL2\nBODY1";
    ASSERT_EQ(pair.near->send(first.data(), static_cast<int>(first.size())), 12);
    std::string line;
    ASSERT_TRUE(pair.far->receive(line));
    EXPECT_EQ(line, "L1");
    ASSERT_TRUE(pair.far->receive(line));
    EXPECT_EQ(line, "L2");
    EXPECT_EQ(pair.far->getBufferedBytes(), 5);
    EXPECT_EQ(pair.far->getReceivedBytes(), 7u);
    // Nothing more is on its way, yet a receive would not block.
    EXPECT_TRUE(pair.far->waitReadable(0));

    char body[8];
    ASSERT_EQ(pair.far->receive(body, 3), 3);
    EXPECT_EQ(std::string(body, 3), "BOD");
    ASSERT_EQ(pair.far->receive(body, 8), 2);
    EXPECT_EQ(std::string(body, 2), "Y1");
    EXPECT_FALSE(pair.far->waitReadable(0));

    ASSERT_EQ(pair.near->send("BODY2", 5), 5);
    ASSERT_EQ(pair.far->receive(body, 8), 5);
    EXPECT_EQ(std::string(body, 5), "BODY2");
    EXPECT_EQ(pair.far->getReceivedBytes(), 17u);
}

// A line longer than one read-ahead, sent with a body behind it, arrives
// whole, and so does the body.
TEST(HttpSocketTest, ReadsLinesAcrossSeveralReceives) {
    test::TcpPair pair;
    std::string longLine = test::randomBytes(3 * HttpSocket::readAheadSize + 17, 5);
    for (char& c : longLine)
        if (c == '\n' || c == '\r')
            c = 'x';
    std::string body = test::randomBytes(2 * HttpSocket::readAheadSize, 6);
    std::string wire = longLine + "\r\n" + body;
    std::thread writer([&] { pair.near->send(wire.data(), static_cast<int>(wire.size())); });
    std::string line;
    EXPECT_TRUE(pair.far->receive(line));
    EXPECT_EQ(line, longLine);
    std::string received;
    char piece[1000];
    while (received.size() < body.size()) {
        int n = pair.far->receive(piece, sizeof piece);
        ASSERT_GT(n, 0);
        received.append(piece, static_cast<size_t>(n));
    }
    EXPECT_EQ(received, body);
    writer.join();
}

TEST(HttpSocketTest, RefusesLinesOverTheLimit) {
    test::TcpPair pair;
    std::thread writer([&] {
        std::string wire = std::string(HttpSocket::maxLineLength, 'x') + "\n" +    // at the limit
                           std::string(HttpSocket::maxLineLength + 1, 'y') + "\n"; // one over
        pair.near->send(wire.data(), static_cast<int>(wire.size()));
    });
    std::string line;
    EXPECT_TRUE(pair.far->receive(line));
    EXPECT_EQ(line.size(), HttpSocket::maxLineLength);
    EXPECT_FALSE(pair.far->receive(line));
    EXPECT_GT(line.size(), HttpSocket::maxLineLength);
    pair.far->shutdown();
    writer.join();
}

TEST(HttpSocketTest, SendAppendsCrLf) {
    test::TcpPair pair;
    EXPECT_TRUE(pair.near->send(std::string("X")));
    EXPECT_TRUE(pair.near->send(std::string()));
    pair.near->shutdown();
    char buffer[16];
    std::string wire;
    int n;
    while ((n = pair.far->receive(buffer, sizeof buffer)) > 0)
        wire.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(wire, "X\r\n\r\n");
}

TEST(HttpSocketTest, ShutdownFromAnotherThreadEndsABlockedReceive) {
    test::TcpPair pair;
    std::thread reader([&] {
        char byte;
        EXPECT_LE(pair.far->receive(&byte, 1), 0);
        EXPECT_EQ(pair.far->receive(&byte, 1), -1); // every later call fails
    });
    usleep(50 * 1000);
    pair.far->shutdown();
    pair.far->shutdown(); // a second call does nothing
    reader.join();
    EXPECT_EQ(pair.far->getSocketHandle(), -1);
    EXPECT_EQ(pair.far->send("x", 1), -1);
    // The peer sees the end of the stream.
    char byte;
    EXPECT_EQ(pair.near->receive(&byte, 1), 0);
}

TEST(HttpSocketTest, ConnectFailuresAreResults) {
    int closedPort = test::freePort();
    struct {
        const char* host;
        int port;
    } cases[] = {
        {"127.0.0.1", closedPort}, // nobody listens
        {"", 80},                  // no name to resolve
        {"127.0.0.1", 0},          // ports outside 1..65535 are never tried
        {"127.0.0.1", 65536 + 80},
        {"127.0.0.1", -1},
    };
    for (const auto& c : cases) {
        HttpSocket sock;
        EXPECT_FALSE(sock.connect(c.host, c.port)) << c.host << ":" << c.port;
    }
}

// Fifty clients that connect at once, before the listener accepts any, are
// all queued: none has to wait for its connect to be sent again.
TEST(HttpSocketTest, QueuesABurstOfClients) {
    HttpSocket listener;
    ASSERT_TRUE(listener.bind(0));
    ASSERT_TRUE(listener.listen());
    std::vector<int> clients;
    for (int i = 0; i < 50; ++i)
        clients.push_back(test::connectTo(listener.getLocalPort()));
    usleep(100 * 1000); // every handshake has been answered
    int handle = listener.getSocketHandle();
    int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    int queued = 0;
    while (HttpSocket* sock = listener.accept()) {
        delete sock;
        ++queued;
    }
    EXPECT_EQ(queued, 50);
    for (int fd : clients)
        close(fd);
}

TEST(HttpSocketTest, ConnectResolvesNames) {
    HttpSocket listener;
    ASSERT_TRUE(listener.bind(0));
    ASSERT_TRUE(listener.listen());
    HttpSocket sock;
    EXPECT_TRUE(sock.connect("localhost", listener.getLocalPort()));
    delete listener.accept();
}

TEST(HttpSocketTest, ConnectGivesUpOnAnOriginThatNeverAnswers) {
    // A listener whose backlog is full drops further connection attempts, so
    // the next connect waits until its time limit.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 0), 0);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    int port = ntohs(address.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(filler);
    }
    usleep(100 * 1000);

    HttpSocket::connectTimeoutMs = 300;
    HttpSocket sock;
    EXPECT_FALSE(sock.connect("127.0.0.1", port));

    // A shutdown from another thread ends a waiting connect long before its
    // time limit (were it not, the test would run into its own).
    HttpSocket::connectTimeoutMs = 600 * 1000;
    HttpSocket stopped;
    std::thread stopper([&stopped] {
        usleep(200 * 1000);
        stopped.shutdown();
    });
    EXPECT_FALSE(stopped.connect("127.0.0.1", port));
    stopper.join();
    for (int filler : fillers)
        close(filler);
    close(fd);
}

TEST(HttpSocketTest, ReceiveTimesOutOnASilentPeer) {
    test::TcpPair pair;
    pair.far->setTimeout(100);
    std::string line;
    EXPECT_FALSE(pair.far->receive(line));
}

TEST(HttpSocketTest, TellsConnectionsBackToItsOwnPort) {
    HttpSocket listener;
    ASSERT_TRUE(listener.bind(0));
    ASSERT_TRUE(listener.listen());
    int port = listener.getLocalPort();
    HttpSocket sock;
    ASSERT_TRUE(sock.connect("127.0.0.1", port));
    delete listener.accept();
    EXPECT_TRUE(sock.leadsToLocalPort(port));
    EXPECT_FALSE(sock.leadsToLocalPort(port == 1 ? 2 : port - 1));
}

TEST(HttpSocketTest, BindFailureIsReported) {
    HttpSocket first;
    ASSERT_TRUE(first.bind(0));
    ASSERT_TRUE(first.listen());
    HttpSocket second;
    EXPECT_FALSE(second.bind(first.getLocalPort()));
}

} // namespace
