// The accelerated transfer inside this process: a client socket, the proxy's
// listener on an ephemeral port, and a scripted origin that serves one body
// by ranges, well or with one fault. Whatever the origin does, the client
// gets the exact body, or a prefix of it followed by a closed connection.
#include "httpshrimp.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "httpconnection.h"
#include "testsupport.h"

namespace {

using test::OriginConnection;
using test::ScriptedOrigin;

// Three blocks of the largest size behind the first: the first worker's
// stream can fill only one of them at a time, so the others are fetched by
// range requests.
constexpr size_t bodySize = HttpConnection::minBlockSize + 3 * HttpConnection::maxBlockSize;

// The first position of "Range: bytes=N-" in a request head, or 0.
size_t rangeStart(const std::string& __head) {
    size_t field = __head.find("\r\nRange: bytes=");
    return field == std::string::npos ? 0 : std::stoul(__head.substr(field + 15));
}

// Waits until the proxy closes the connection, answering nothing.
void holdSilently(OriginConnection& __connection) {
    char byte;
    while (recv(__connection.handle(), &byte, 1, 0) > 0) {
    }
}

enum class Fault {
    none,
    ignoresRange,       // answers range requests with "200" and the whole body
    wrongContentRange,  // its "206" starts one byte behind the asked position
    changesResource,    // a new ETag and other bytes
    closesMidBlock,     // range answers end after 100,000 bytes
    closesEarly,        // range answers end after their head, whole ones after 100,000 bytes
    refusesEverySecond, // closes every second connection without a word
    closesAtOnce,       // closes every connection without a word
    neverAnswers,       // holds the connection open and says nothing
};

// An origin serving one application/octet-stream body by "Range: bytes=N-",
// with a fault on every connection from the __faultyFrom-th on. Connection 0
// carries the proxy's own request, connection 1 usually its first worker's.
// A whole body pauses after its first 64 KiB, so that range workers fill
// blocks before that stream could take them over.
class RangeOrigin {
public:
    RangeOrigin(const std::string& __body, Fault __fault, int __faultyFrom)
        : fault(__fault), faultyFrom(__faultyFrom), body(__body),
          changed(test::randomBytes(__body.size(), 7)),
          origin([this](OriginConnection& __connection, int __index) {
              serve(__connection, __index);
          }) {}
    int port() const { return origin.port(); }
    int connectionCount() const { return origin.connectionCount(); }

private:
    void serve(OriginConnection& __connection, int __index) {
        Fault now = __index >= faultyFrom ? fault : Fault::none;
        if ((now == Fault::refusesEverySecond && __index % 2 == 1) || now == Fault::closesAtOnce ||
            now == Fault::neverAnswers) {
            __connection.readHead();
            if (now == Fault::neverAnswers)
                holdSilently(__connection);
            return;
        }
        const std::string& data = now == Fault::changesResource ? changed : body;
        const std::string tag = now == Fault::changesResource ? "\"b\"" : "\"a\"";
        for (std::string head; !(head = __connection.readHead()).empty();) {
            size_t start = now == Fault::ignoresRange ? 0 : rangeStart(head);
            if (now == Fault::wrongContentRange && start > 0)
                ++start;
            std::string answer = start == 0 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 206 Partial\r\n";
            if (start > 0)
                answer += "Content-Range: bytes " + std::to_string(start) + "-" +
                          std::to_string(data.size() - 1) + "/" + std::to_string(data.size()) +
                          "\r\n";
            answer += "Content-Type: application/octet-stream\r\nETag: " + tag +
                      "\r\nContent-Length: " + std::to_string(data.size() - start) + "\r\n\r\n";
            size_t size = data.size() - start;
            if (now == Fault::closesMidBlock && start > 0 && size > 100000)
                size = 100000;
            if (now == Fault::closesEarly)
                size = start > 0 ? 0 : 100000;
            size_t pause = start == 0 && __index > 0 ? HttpConnection::minBlockSize : 0;
            if (!__connection.send(answer + data.substr(start, pause)))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(pause ? 300 : 0));
            if (!__connection.send(data.substr(start + pause, size - pause)) ||
                size < data.size() - start)
                return;
        }
    }

    const Fault fault;
    const int faultyFrom;
    const std::string body;
    const std::string changed;
    ScriptedOrigin origin; // last: its threads stop before the rest goes
};

class HttpShrimpTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedBlockWait = HttpConnection::blockWaitMs.exchange(2000);
        savedOriginTimeout = HttpConnection::originTimeoutMs.exchange(3000);
    }
    void TearDown() override {
        HttpConnection::blockWaitMs = savedBlockWait;
        HttpConnection::originTimeoutMs = savedOriginTimeout;
    }

    // Sends a GET for the origin's body on __client and reads the answer's
    // body: all of it, or what came before the proxy closed.
    static std::string download(int __client, int __originPort, size_t __size) {
        std::string request = "GET http://127.0.0.1:" + std::to_string(__originPort) +
                              "/file.bin HTTP/1.1\r\nHost: x\r\n\r\n";
        if (!test::sendAll(__client, request))
            return "";
        std::string head = test::readUntil(__client, "\r\n\r\n", 10000);
        if (head.find("\r\n\r\n") == std::string::npos)
            return "";
        std::string body = head.substr(head.find("\r\n\r\n") + 4);
        return body + test::readExactly(__client, __size - body.size(), 60000);
    }

    int savedBlockWait = 0;
    int savedOriginTimeout = 0;
};

TEST_F(HttpShrimpTest, DeliversTheExactBodyOrAPrefixThenCloses) {
    const int anyNumber = 0;
    const struct {
        const char* name;
        Fault fault;
        int faultyFrom;      // the first connection with the fault
        bool whole;          // the body arrives whole; else it is at least a prefix
        int connections = 0; // the most origin connections it may take, when bounded
    } cases[] = {
        {"no fault", Fault::none, 0, true, anyNumber},
        {"ignores Range", Fault::ignoresRange, 0, true, anyNumber},
        {"wrong Content-Range", Fault::wrongContentRange, 0, true, anyNumber},
        {"changes before the first worker", Fault::changesResource, 1, false, 2},
        {"changes before the range workers", Fault::changesResource, 2, true, anyNumber},
        {"closes in the middle of a block", Fault::closesMidBlock, 0, true, anyNumber},
        {"closes every stream early", Fault::closesEarly, 1, false, anyNumber},
        {"refuses every second connection", Fault::refusesEverySecond, 0, true, anyNumber},
        // The proxy's request, then one block's attempts, and a few more
        // while the transfer ends (rather than one every 100 ms until the
        // stall limit).
        {"closes every connection at once", Fault::closesAtOnce, 1, false,
         1 + HttpShrimp::maxAttempts + 3},
        {"never answers the first worker", Fault::neverAnswers, 1, false, anyNumber},
        {"never answers the range workers", Fault::neverAnswers, 2, true, anyNumber},
    };
    const std::string body = test::randomBytes(bodySize, 1998);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RangeOrigin origin(body, c.fault, c.faultyFrom);
        test::InProcessProxy proxy;
        int client = test::connectTo(proxy.port());
        std::string received = download(client, origin.port(), body.size());
        EXPECT_TRUE(body.compare(0, received.size(), received) == 0)
            << received.size() << " bytes are not a prefix of the body";
        if (c.whole) {
            EXPECT_EQ(received.size(), body.size());
        }
        if (received.size() < body.size()) {
            EXPECT_TRUE(test::waitClosed(client, 10000));
        }
        if (c.connections != anyNumber) {
            EXPECT_LE(origin.connectionCount(), c.connections);
        }
        close(client);
    }
}

// After an accelerated body the next request on the same client connection
// goes to the origin over a new connection.
TEST_F(HttpShrimpTest, KeptAliveConnectionCarriesTheNextRequest) {
    const std::string body = test::randomBytes(HttpConnection::minBlockSize + 1, 3);
    RangeOrigin origin(body, Fault::none, 0);
    test::InProcessProxy proxy;
    int client = test::connectTo(proxy.port());
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(download(client, origin.port(), body.size()) == body) << "request " << i;
    close(client);
}

TEST(HttpShrimpBlockSizeTest, BoundsTheMeasuredSizeAndForksPerFurtherBlock) {
    const struct {
        uint32_t measured;
        uint32_t bounded;
    } sizes[] = {
        {0, HttpConnection::maxBlockSize}, // faster than the clock can tell
        {1, HttpConnection::minBlockSize},
        {1024000, 1024000},
        {HttpConnection::maxBlockSize + 1, HttpConnection::maxBlockSize},
        {UINT32_MAX, HttpConnection::maxBlockSize},
    };
    for (const auto& s : sizes) {
        EXPECT_EQ(HttpConnection::boundBlockSize(s.measured), s.bounded) << s.measured;
    }

    const struct {
        uint32_t blockSize;
        uint32_t rest;
        int forks;
    } forks[] = {
        {1024000, 2000000 - 65536, 2},
        {1024000, 10000000 - 65536, 7},
        {HttpConnection::maxBlockSize, 1, 1},
        {HttpConnection::maxBlockSize, 2 * HttpConnection::maxBlockSize, 2},
        {HttpConnection::maxBlockSize, 0, 0},
    };
    for (const auto& f : forks) {
        EXPECT_EQ(HttpShrimp::countForks(f.blockSize, f.rest), f.forks)
            << f.blockSize << " " << f.rest;
    }
}

} // namespace
