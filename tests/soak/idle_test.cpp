// Stalled clients and the client idle limit, with the proxy in this process
// so that the limit can be shortened: 200 connections that send half a
// request head and then nothing are closed once the limit has passed, and
// not before, while other clients are served in the meantime.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "e2e.h"
#include "httpconnection.h"
#include "soak.h"
#include "testsupport.h"

namespace {

constexpr int stalledClients = 200;
constexpr int idleLimitMs = 3000;
// The limit is counted by the kernel from the proxy's last receive, which
// follows the client's send; this only absorbs the clocks' granularity.
constexpr long long earlyToleranceMs = 50;
// Only turns a hang into a failure.
constexpr long long lateLimitMs = idleLimitMs + 20 * 1000;

// Shortens the client idle limit of connections made from now on, and puts
// the old one back.
class IdleLimit {
public:
    explicit IdleLimit(int __milliseconds) : previous(HttpConnection::clientIdleMs.load()) {
        HttpConnection::clientIdleMs.store(__milliseconds);
    }
    ~IdleLimit() { HttpConnection::clientIdleMs.store(previous); }

private:
    int previous;
};

} // namespace

TEST(StalledClientSoakTest, ClosesHalfHeadClientsAtTheIdleLimitWhileServingOthers) {
    ASSERT_TRUE(soak::raiseDescriptorLimit(1024));
    IdleLimit limit(idleLimitMs);
    test::ScriptedOrigin origin([](test::OriginConnection& __connection, int) {
        for (int answer = 0; !__connection.readHead().empty(); ++answer) {
            std::string body = soak::patternBytes(10000, answer);
            if (!__connection.send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body))
                return;
        }
    });
    test::InProcessProxy proxy;
    const std::string request = soak::proxyGet(origin.port(), "/half");

    std::vector<int> stalled;
    std::vector<soak::Clock::time_point> sentAt;
    for (int i = 0; i < stalledClients; ++i) {
        int fd = soak::connectAccepted(proxy.port(), 0);
        ASSERT_GE(fd, 0) << "connect " << i << " refused";
        stalled.push_back(fd);
        sentAt.push_back(soak::Clock::now());
        ASSERT_TRUE(test::sendAll(fd, request.substr(0, request.size() / 2)));
    }

    // Other clients are served meanwhile: a new connection with several
    // requests kept alive, every answer whole.
    int fd = test::connectTo(proxy.port());
    ASSERT_GE(fd, 0);
    for (int answer = 0; answer < 5; ++answer) {
        ASSERT_TRUE(test::sendAll(fd, request));
        std::string head = test::readUntil(fd, "\r\n\r\n");
        ASSERT_TRUE(test::contains(head, " 200 ")) << head;
        EXPECT_TRUE(
            test::sameBytes(soak::patternBytes(10000, answer), test::readExactly(fd, 10000)))
            << "answer " << answer;
    }
    ::close(fd);
    soak::Clock::time_point servedAt = soak::Clock::now();
    ASSERT_LT(servedAt, sentAt.front() + std::chrono::milliseconds(idleLimitMs))
        << "the other client was served only after the stalled ones had reached their limit";

    // Every stalled connection is closed by the proxy, none before its limit.
    std::vector<long long> closedAfterMs(stalled.size(), -1);
    size_t open = stalled.size();
    soak::Clock::time_point start = soak::Clock::now();
    while (open > 0 && soak::millisecondsSince(start) < lateLimitMs) {
        std::vector<pollfd> waiting;
        std::vector<size_t> owners;
        for (size_t i = 0; i < stalled.size(); ++i)
            if (closedAfterMs[i] < 0) {
                waiting.push_back({stalled[i], POLLIN, 0});
                owners.push_back(i);
            }
        if (poll(waiting.data(), waiting.size(), 1000) <= 0)
            continue;
        soak::Clock::time_point now = soak::Clock::now();
        for (size_t k = 0; k < waiting.size(); ++k) {
            if (!waiting[k].revents)
                continue;
            char byte;
            EXPECT_LE(recv(waiting[k].fd, &byte, 1, 0), 0) << "a stalled client got an answer";
            size_t i = owners[k];
            closedAfterMs[i] =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - sentAt[i]).count();
            --open;
        }
    }
    EXPECT_EQ(0u, open) << "stalled connections still open " << lateLimitMs
                        << " ms after their idle limit";
    long long earliest = *std::min_element(closedAfterMs.begin(), closedAfterMs.end());
    long long latest = *std::max_element(closedAfterMs.begin(), closedAfterMs.end());
    std::cout << stalled.size() << " stalled clients closed " << earliest << " to " << latest
              << " ms after their last byte (limit " << idleLimitMs << " ms)" << std::endl;
    for (size_t i = 0; i < stalled.size(); ++i) {
        if (closedAfterMs[i] >= 0) {
            EXPECT_GE(closedAfterMs[i], idleLimitMs - earlyToleranceMs) << "client " << i;
        }
    }
    for (int stalledFd : stalled)
        ::close(stalledFd);
}
