// End-to-end test of how the shoal binary stops: SIGTERM closes every client
// connection, whatever it is doing, and the process exits with status 0 (in
// an AddressSanitizer build, after a leak check that found nothing).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e.h"
#include "httpserver.h"
#include "process.h"
#include "testsupport.h"

namespace {

constexpr int waitMs = 10000;

TEST(ShoalShutdownTest, SigtermClosesEveryConnectionAndExitsWithZero) {
    // An origin that reads a head and then waits for the proxy to close.
    test::ScriptedOrigin origin([](test::OriginConnection& __connection, int) {
        __connection.readHead();
        __connection.readBytes(1);
    });
    test::TempDir dir;
    test::ChildProcess shoal;
    ASSERT_EQ("", test::startShoal(shoal, dir.file("shoal.out"), dir.file("shoal.err")));

    const std::string target = "127.0.0.1:" + std::to_string(origin.port());
    const std::vector<std::string> requests = {
        // Half a head: the connection waits for the rest of it.
        "GET http://" + target + "/half HTTP/1.1\r\nHost: ",
        // A whole head: the connection waits for the origin's answer.
        "GET http://" + target + "/silent HTTP/1.1\r\nHost: " + target + "\r\n\r\n",
        // A tunnel, open both ways.
        "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n",
    };
    std::vector<int> clients;
    for (const std::string& request : requests) {
        int fd = test::connectTo(HttpServer::proxyPort);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
        ASSERT_TRUE(test::sendAll(fd, request));
    }
    EXPECT_EQ("HTTP/1.1 200 Established\r\n\r\n",
              test::readUntil(clients.back(), "\r\n\r\n", waitMs));
    ASSERT_TRUE(test::waitUntil([&] { return origin.connectionCount() == 2; }, waitMs));

    ASSERT_EQ(0, ::kill(shoal.pid(), SIGTERM));
    int status = -1;
    ASSERT_TRUE(shoal.waitExit(waitMs, status)) << "shoal still runs after SIGTERM";
    EXPECT_EQ(0, status) << test::readFile(dir.file("shoal.err"));
    for (int fd : clients) {
        EXPECT_TRUE(test::waitClosed(fd, waitMs));
        ::close(fd);
    }
    EXPECT_FALSE(test::hasSanitizerReport(test::readFile(dir.file("shoal.err"))))
        << test::readFile(dir.file("shoal.err"));
}

} // namespace
