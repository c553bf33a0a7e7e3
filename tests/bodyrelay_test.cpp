#include "bodyrelay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "testsupport.h"

namespace {

// Runs one relay from a peer that writes __wire in the given pieces (each
// after a short pause) to a reader; returns the relay's result and fills
// __relayed with what the reader got and __left with what stayed unread.
struct RelayRun {
    bool result = false;
    std::string relayed;
    std::string left;
};

template <typename Relay>
RelayRun runRelay(const std::vector<std::string>& __pieces, Relay __relay) {
    test::TcpPair in, out;
    std::thread writer([&] {
        for (const std::string& piece : __pieces) {
            in.near->send(piece.data(), static_cast<int>(piece.size()));
            usleep(1000);
        }
        in.near->shutdown();
    });
    RelayRun run;
    std::thread reader([&] {
        char buffer[65536];
        int n;
        while ((n = out.far->receive(buffer, sizeof buffer)) > 0)
            run.relayed.append(buffer, static_cast<size_t>(n));
    });
    run.result = __relay(in.far.get(), out.near.get());
    out.near->shutdown();
    reader.join();
    writer.join();
    char buffer[4096];
    int n;
    while ((n = in.far->receive(buffer, sizeof buffer)) > 0)
        run.left.append(buffer, static_cast<size_t>(n));
    return run;
}

auto copyLength(uint64_t __length) {
    return [=](HttpSocket* __from, HttpSocket* __to) {
        return BodyRelay::copyLength(__from, __to, __length);
    };
}

auto copyChunked(bool __keepFraming) {
    return [=](HttpSocket* __from, HttpSocket* __to) {
        return BodyRelay::copyChunked(__from, __to, __keepFraming);
    };
}

TEST(BodyRelayTest, CopiesExactlyTheDeclaredLength) {
    std::string body = "0123456789abcdefghijklmno";
    RelayRun run = runRelay({body}, copyLength(10));
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.relayed, body.substr(0, 10));
    EXPECT_EQ(run.left, body.substr(10)); // the next message stays in the socket

    std::string big(20000, 'b');
    run = runRelay({big}, copyLength(big.size()));
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.relayed, big);
}

TEST(BodyRelayTest, ReportsABodyThatEndsEarly) {
    RelayRun run = runRelay({"half"}, copyLength(8));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.relayed, "half");
}

TEST(BodyRelayTest, CopiesUntilTheOriginCloses) {
    std::string body(100000, 'u');
    RelayRun run = runRelay({body.substr(0, 50000), body.substr(50000)},
                            [](HttpSocket* __from, HttpSocket* __to) {
                                return BodyRelay::copyUntilClose(__from, __to);
                            });
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.relayed, body);
}

TEST(BodyRelayTest, DeframesChunkedBodies) {
    std::string chunk16k(16384, 'k');
    struct {
        std::string wire;
        bool result;
        std::string relayed;
    } cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", true, "hello"},
        {"5\nhello\n0\n\n", true, "hello"},
        {"1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", true,
         "abcdefghijklmnopqrstuvwxyz"},
        {"1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", true, "abcdefghijklmnopqrstuvwxyz"},
        {"  1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", true, "abcdefghijklmnopqrstuvwxyz"},
        {"0x3\r\nabc\r\n0\r\n\r\n", true, "abc"},
        {"4000\r\n" + chunk16k + "\r\n0\r\n\r\n", true, chunk16k},
        {"3\r\nabc\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\n", true, "abc"},
        {"\r\n\r\n", true, ""},                     // no size at all: the last chunk
        {"3\r\nabcdef\r\n0\r\n\r\n", false, "abc"}, // data longer than its size line
        {"10000000000000000\r\nx\r\n", false, ""},  // does not fit 64 bits
        {"5\r\nhel", false, "hel"},                 // the origin closes inside a chunk
        {"5\r\nhello\r\n", false, "hello"},         // ... or before the last chunk
        {"0\r\nX: 1\r\n", false, ""},               // ... or inside the trailer
    };
    for (const auto& c : cases) {
        RelayRun run = runRelay({c.wire}, copyChunked(false));
        EXPECT_EQ(run.result, c.result) << c.wire.substr(0, 40);
        EXPECT_EQ(run.relayed, c.relayed) << c.wire.substr(0, 40);
    }
}

TEST(BodyRelayTest, DeframesAChunkedBodySplitAtEveryByte) {
    std::string wire =
        "4;x=y\r\nWiki\r\n6\r\npedia \r\nE\r\nin \r\n\r\nchunks.\r\n0\r\nT: v\r\n\r\n";
    for (size_t split = 1; split < wire.size(); ++split) {
        RelayRun run = runRelay({wire.substr(0, split), wire.substr(split)}, copyChunked(false));
        EXPECT_TRUE(run.result) << "split at " << split;
        EXPECT_EQ(run.relayed, "Wikipedia in \r\n\r\nchunks.") << "split at " << split;
    }
}

// Sizes go on in plain hex, so that a strict receiver finds the same chunks:
// "=" reads as a last chunk here, and " 0x10" as 16 bytes.
TEST(BodyRelayTest, KeepsTheFramingWhenAsked) {
    const struct {
        const char* wire;
        const char* relayed;
    } cases[] = {
        {"3;ext\r\nabc\r\n10\r\n0123456789abcdef\r\n0\r\nTrailer: x\r\n\r\nNEXT",
         "3\r\nabc\r\n10\r\n0123456789abcdef\r\n0\r\nTrailer: x\r\n\r\n"},
        {" 0x10 \nabcdefghijklmnop\n=\n\nNEXT", "10\r\nabcdefghijklmnop\r\n0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        RelayRun run = runRelay({c.wire}, copyChunked(true));
        EXPECT_TRUE(run.result) << c.wire;
        EXPECT_EQ(run.relayed, c.relayed) << c.wire;
        EXPECT_EQ(run.left, "NEXT") << c.wire;
    }
}

TEST(BodyRelayTest, ReadsChunkSizes) {
    struct {
        const char* line;
        bool result;
        uint64_t size;
    } cases[] = {
        {"0", true, 0},
        {"ff", true, 255},
        {"FF;x", true, 255},
        {" \t10 ", true, 16},
        {"0X1f", true, 31},
        {"zz", true, 0},
        {"", true, 0},
        {"ffffffffffffffff", true, UINT64_MAX},
        {"0000000000000000001", true, 1},
        {"10000000000000000", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t size = 12345;
        EXPECT_EQ(BodyRelay::parseChunkSize(c.line, size), c.result) << c.line;
        if (c.result) {
            EXPECT_EQ(size, c.size) << c.line;
        }
    }
}

} // namespace
