#include "httpserver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "cppthread.h"
#include "process.h"
#include "testsupport.h"

namespace {

class Blocker : public CppThread {
public:
    void process() override {
        entered = true;
        while (!release.load())
            usleep(1000);
        ++runs;
    }
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<int> runs{0};
};

TEST(CppThreadTest, RefusesASecondStartWhileRunning) {
    Blocker blocker;
    ASSERT_TRUE(blocker.startThread());
    while (!blocker.entered.load())
        usleep(1000);
    EXPECT_FALSE(blocker.startThread());
    blocker.release = true;
    blocker.joinThread();
    blocker.joinThread(); // a second join does nothing
    EXPECT_EQ(blocker.runs.load(), 1);

    CppThread plain; // the base process() ends at once
    EXPECT_TRUE(plain.startThread());
    plain.joinThread();
}

TEST(HttpServerTest, ServesClientsConcurrently) {
    // The origin answers only once all three requests have arrived, which
    // can happen only when each client has a connection thread of its own.
    const int clients = 3;
    std::atomic<int> arrived{0};
    test::ScriptedOrigin origin([&](test::OriginConnection& __conn, int) {
        __conn.readHead();
        ++arrived;
        while (arrived.load() < clients)
            usleep(1000);
        __conn.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        __conn.readHead();
    });
    test::InProcessProxy proxy;
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        fds.push_back(test::connectTo(proxy.port()));
        test::sendAll(fds.back(), "GET http://127.0.0.1:" + std::to_string(origin.port()) +
                                      "/ HTTP/1.1\r\n\r\n");
    }
    for (int fd : fds) {
        EXPECT_EQ(test::readUntil(fd, "ok"), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        close(fd);
    }
}

TEST(HttpServerTest, StopEndsEveryConnection) {
    int idle;
    int withListener;
    {
        test::InProcessProxy proxy;
        withListener = test::threadCount(); // counted here: sanitizers add threads of their own
        idle = test::connectTo(proxy.port());
        test::sendAll(idle, "GET http://127.0.0.1"); // half a request line
        usleep(50 * 1000);
    } // stops the listener, which closes and joins the connection
    EXPECT_TRUE(test::waitClosed(idle));
    // A joined thread leaves the count a moment after the join returns.
    EXPECT_TRUE(test::waitUntil([&] { return test::threadCount() == withListener - 1; }))
        << test::threadCount() << " threads, " << withListener - 1 << " expected";
    close(idle);
}

TEST(HttpServerTest, ReportsAPortThatCannotBeBound) {
    HttpServer first(0);
    std::string error;
    ASSERT_TRUE(first.openListener(error));
    HttpServer second(first.getPort());
    EXPECT_FALSE(second.openListener(error));
    EXPECT_EQ(error, "Address already in use");
}

} // namespace
