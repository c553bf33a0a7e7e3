// Load soak of the shoal binary on port 1998: 500 client connections at once,
// each with several kept-alive requests of small and 1 MiB bodies from a
// private nginx (half of the large ones of a media type, so that they are
// accelerated), while 200 more connections hold half a request head and send
// nothing else. Every body must arrive byte for byte, no connect may be
// refused, the stalled connections must neither be dropped nor hold anyone
// up, and shoal must still serve afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e.h"
#include "httpconnection.h"
#include "httpserver.h"
#include "soak.h"
#include "testsupport.h"

namespace {

constexpr int loadClients = 500;
constexpr int stalledClients = 200;
// Each client asks for every large file once and for smallRequests small ones.
constexpr size_t smallRequests = 4;
// Descriptors per process, with room to spare: shoal holds the 700 client
// connections, up to 500 origin connections and the range connections of the
// accelerated bodies under way (two for each 1 MiB body), about 2,200 in all.
constexpr uint64_t descriptorsNeeded = 4096;
// Limits that only turn a hang into a failure.
constexpr long long loadDeadlineMs = 300 * 1000;
constexpr int responseTimeoutMs = 30 * 1000;

// What nginx serves, typed by extension: text/plain for .txt,
// application/octet-stream for .bin (accelerated when over 65,536 bytes).
struct ServedFile {
    const char* name;
    size_t size;
};
const ServedFile smallFiles[] = {
    {"empty.txt", 0}, {"one.txt", 1}, {"page.txt", 4096}, {"sheet.txt", 60 * 1024}};
const ServedFile largeText = {"large.txt", 1024 * 1024};
const ServedFile largeBinary = {"large.bin", 1024 * 1024};

std::map<std::string, std::string>& contents() {
    static std::map<std::string, std::string> files; // written by SetUpTestSuite only
    return files;
}

// One client connection of the load and where it stands in its requests.
struct LoadClient {
    int fd = -1;
    std::vector<const ServedFile*> plan; // the file of each request, in order
    size_t current = 0;                  // the request whose answer is being read
    std::string head;                    // what has arrived of the answer's head
    bool inBody = false;
    size_t bodyRead = 0; // body bytes of the current answer checked so far
    bool finished = false;
    std::string failure; // empty while all is well
};

} // namespace

class LoadSoakTest : public soak::SoakTest {
protected:
    static void SetUpTestSuite() {
        setUpSoakSuite(descriptorsNeeded, [](const std::string& __root) {
            std::vector<ServedFile> files(std::begin(smallFiles), std::end(smallFiles));
            files.push_back(largeText);
            files.push_back(largeBinary);
            uint64_t seed = 500;
            for (const ServedFile& file : files) {
                contents()[file.name] = soak::patternBytes(file.size, seed++);
                if (!test::writeFile(__root + "/" + file.name, contents()[file.name]))
                    return std::string("cannot write ") + file.name;
            }
            return std::string();
        });
    }

    std::string request(const LoadClient& __client, int __index) const {
        return soak::proxyGet(suite->nginx.port(), std::string("/") +
                                                       __client.plan[__client.current]->name +
                                                       "?client" + std::to_string(__index));
    }

    // Takes __size bytes that arrived for __client; false when they are not
    // what its current answer should hold.
    bool consume(LoadClient& __client, int __index, const char* __data, size_t __size) {
        while (__size > 0) {
            const ServedFile& file = *__client.plan[__client.current];
            if (!__client.inBody) {
                size_t searchFrom = __client.head.size() < 3 ? 0 : __client.head.size() - 3;
                __client.head.append(__data, __size);
                size_t end = __client.head.find("\r\n\r\n", searchFrom);
                if (end == std::string::npos)
                    return true;
                size_t bodyBytes = __client.head.size() - (end + 4);
                __data += __size - bodyBytes;
                __size = bodyBytes;
                __client.head.resize(end + 4);
                soak::ResponseHead head;
                if (!soak::parseHead(__client.head, head) || head.status != 200 ||
                    head.contentLength != static_cast<long long>(file.size)) {
                    __client.failure =
                        "bad head for " + std::string(file.name) + ":\n" + __client.head;
                    return false;
                }
                __client.inBody = true;
                __client.bodyRead = 0;
            }
            size_t take = std::min(__size, file.size - __client.bodyRead);
            const std::string& expected = contents()[file.name];
            if (std::memcmp(expected.data() + __client.bodyRead, __data, take) != 0) {
                size_t at = 0;
                while (expected[__client.bodyRead + at] == __data[at])
                    ++at;
                __client.failure = std::string(file.name) + " differs at byte " +
                                   std::to_string(__client.bodyRead + at);
                return false;
            }
            __client.bodyRead += take;
            __data += take;
            __size -= take;
            if (__client.bodyRead < file.size)
                continue;
            // The answer is complete: on with the next request.
            __client.inBody = false;
            __client.head.clear();
            if (++__client.current == __client.plan.size()) {
                __client.finished = true;
                if (__size != 0) {
                    __client.failure = "bytes after the last answer";
                    return false;
                }
                return true;
            }
            if (__size != 0) {
                __client.failure = "bytes before the next request was sent";
                return false;
            }
            if (!test::sendAll(__client.fd, request(__client, __index))) {
                __client.failure = "cannot send request " + std::to_string(__client.current);
                return false;
            }
        }
        return true;
    }

    // Serves every client in one poll loop until all are done or have failed.
    void runLoad(std::vector<LoadClient>& __clients) {
        for (size_t i = 0; i < __clients.size(); ++i)
            if (!test::sendAll(__clients[i].fd, request(__clients[i], static_cast<int>(i))))
                __clients[i].failure = "cannot send the first request";
        soak::Clock::time_point start = soak::Clock::now();
        std::vector<pollfd> waiting;
        std::vector<size_t> owners;
        char buffer[65536];
        for (;;) {
            waiting.clear();
            owners.clear();
            for (size_t i = 0; i < __clients.size(); ++i)
                if (!__clients[i].finished && __clients[i].failure.empty()) {
                    waiting.push_back({__clients[i].fd, POLLIN, 0});
                    owners.push_back(i);
                }
            if (waiting.empty())
                return;
            long long left = loadDeadlineMs - soak::millisecondsSince(start);
            if (left <= 0)
                break;
            int ready = poll(waiting.data(), waiting.size(),
                             static_cast<int>(std::min<long long>(left, responseTimeoutMs)));
            if (ready == 0)
                break;
            for (size_t k = 0; k < waiting.size(); ++k) {
                if (!waiting[k].revents)
                    continue;
                LoadClient& client = __clients[owners[k]];
                ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (n <= 0) {
                    client.failure = "closed while answer " + std::to_string(client.current) +
                                     " (" + client.plan[client.current]->name + ") was read, " +
                                     std::to_string(client.bodyRead) + " body bytes in";
                    continue;
                }
                consume(client, static_cast<int>(owners[k]), buffer, static_cast<size_t>(n));
            }
        }
        for (LoadClient& client : __clients)
            if (!client.finished && client.failure.empty())
                client.failure = "no answer in time; at answer " + std::to_string(client.current) +
                                 ", " + std::to_string(client.bodyRead) + " body bytes in";
    }
};

// 200 connections hold half a head while 500 others each fetch six bodies
// over one kept-alive connection, in an order of their own: four small texts
// and two 1 MiB bodies, one of application/octet-stream (accelerated) and one
// of text/plain (relayed plainly). The connections are opened one
// after another, each once shoal has accepted the one before, and all before
// any request is sent.
TEST_F(LoadSoakTest, ServesFiveHundredClientsBesideTwoHundredStalledOnes) {
    const std::string half = soak::proxyGet(suite->nginx.port(), "/one.txt").substr(0, 50);
    // Each connection gets its own thread in shoal, which the next connect
    // waits for.
    const pid_t pid = suite->shoal.pid();
    auto openClient = [pid](long long& __slowestMs) {
        soak::Clock::time_point begin = soak::Clock::now();
        int fd = soak::connectAccepted(HttpServer::proxyPort, pid);
        __slowestMs = std::max(__slowestMs, soak::millisecondsSince(begin));
        return fd;
    };
    long long slowestConnectMs = 0;
    int refused = 0;
    std::vector<int> stalled;
    for (int i = 0; i < stalledClients; ++i) {
        int fd = openClient(slowestConnectMs);
        if (fd < 0 || !test::sendAll(fd, half)) {
            ++refused;
            continue;
        }
        stalled.push_back(fd);
    }
    soak::Clock::time_point stalledSince = soak::Clock::now();

    std::vector<LoadClient> clients(loadClients);
    size_t binaryRequests = 0;
    for (int i = 0; i < loadClients; ++i) {
        LoadClient& client = clients[i];
        std::mt19937 generator(static_cast<unsigned>(i));
        for (size_t k = 0; k < smallRequests; ++k)
            client.plan.push_back(&smallFiles[generator() % std::size(smallFiles)]);
        client.plan.push_back(&largeBinary);
        client.plan.push_back(&largeText);
        std::shuffle(client.plan.begin(), client.plan.end(), generator);
        ++binaryRequests;
        client.fd = openClient(slowestConnectMs);
        refused += client.fd < 0;
    }
    std::cout << "connected " << stalled.size() << " stalled and " << loadClients
              << " load clients; slowest connect " << slowestConnectMs << " ms" << std::endl;
    ASSERT_EQ(0, refused) << "connects refused";

    soak::Clock::time_point start = soak::Clock::now();
    runLoad(clients);
    long long loadMs = soak::millisecondsSince(start);
    int failed = 0;
    for (size_t i = 0; i < clients.size(); ++i)
        if (!clients[i].failure.empty() && ++failed <= 10)
            ADD_FAILURE() << "client " << i << ": " << clients[i].failure;
    EXPECT_EQ(0, failed) << "clients failed";
    std::cout << loadClients * clients[0].plan.size() << " requests (" << binaryRequests
              << " accelerated) in " << loadMs << " ms" << std::endl;
    for (LoadClient& client : clients)
        ::close(client.fd);

    // Every 1 MiB application/octet-stream body went the accelerated way.
    std::vector<std::string> lines = consoleLines();
    EXPECT_EQ(binaryRequests,
              static_cast<size_t>(std::count(lines.begin(), lines.end(), "transferDataSpeeded()")));

    // The stalled connections are still open, since their idle limit (the
    // binary's, which this process shares) is far off; a closed one would
    // read as the end of its stream.
    if (soak::millisecondsSince(stalledSince) < HttpConnection::clientIdleMs.load() * 9 / 10) {
        int closed = 0;
        for (int fd : stalled) {
            pollfd waiting{fd, POLLIN, 0};
            closed += poll(&waiting, 1, 0) != 0;
        }
        EXPECT_EQ(0, closed) << "stalled connections closed before their idle limit";
    }

    // shoal still serves: a fresh connection gets an accelerated body whole.
    int fd = test::connectTo(HttpServer::proxyPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::sendAll(fd, soak::proxyGet(suite->nginx.port(), "/large.bin?after")));
    std::string head = test::readUntil(fd, "\r\n\r\n", responseTimeoutMs);
    std::string body = test::readExactly(fd, largeBinary.size, responseTimeoutMs);
    ::close(fd);
    EXPECT_TRUE(test::contains(head, " 200 ")) << head;
    EXPECT_TRUE(test::sameBytes(contents()[largeBinary.name], body));
    for (int stalledFd : stalled)
        ::close(stalledFd);
}
