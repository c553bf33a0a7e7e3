#include "httpmessage.h"

#include <gtest/gtest.h>

#include <thread>

#include "testsupport.h"

namespace {

// Parses __wire (written by a peer that then closes) into __message.
bool parseWire(HttpMessage& __message, const std::string& __wire) {
    test::TcpPair pair;
    std::thread writer([&] {
        pair.near->send(__wire.data(), static_cast<int>(__wire.size()));
        pair.near->shutdown();
    });
    bool result = __message.parseMessage(pair.far.get());
    pair.far->shutdown();
    writer.join();
    return result;
}

TEST(HttpMessageTest, KeepsFieldsAsTheyArrived) {
    HttpMessage message;
    ASSERT_TRUE(parseWire(message, "Host: a\r\n"
                                   "X-Pad:   word  \r\n"
                                   "X-Tab:\tvalue\r\n"
                                   "Host : spaced\r\n"
                                   "no colon here\r\n"
                                   "Empty:\r\n"
                                   "Dup: 1\n"
                                   "Dup: 2\r\n"
                                   "Port: example.org:8080\r\n"
                                   "\r\n"
                                   "Body: not a field\r\n"));
    EXPECT_EQ(message.getHeaders(), "Host: a\r\n"
                                    "X-Pad: word  \r\n"
                                    "X-Tab: \tvalue\r\n"
                                    "Host : spaced\r\n"
                                    "Empty: \r\n"
                                    "Dup: 1\r\n"
                                    "Dup: 2\r\n"
                                    "Port: example.org:8080\r\n");
    EXPECT_EQ(message.getHeader("host"), "a");
    EXPECT_EQ(message.getHeader("X-PAD"), "word  ");
    EXPECT_EQ(message.getHeader("Port"), "example.org:8080");
    EXPECT_EQ(message.getHeader("missing"), "");
    EXPECT_EQ(message.getHeaderValues("dup"), (std::vector<std::string>{"1", "2"}));
}

TEST(HttpMessageTest, EditsTheFirstMatchOnly) {
    HttpMessage message;
    message.parseHeader("Connection: keep-alive");
    message.parseHeader("Dup: 1");
    message.parseHeader("Dup: 2");
    message.setHeader("connection", "close"); // name and place kept
    message.setHeader("dup", "one");
    message.setHeader("New", "x"); // appended
    EXPECT_EQ(message.getHeaders(), "Connection: close\r\nDup: one\r\nDup: 2\r\nNew: x\r\n");
    EXPECT_TRUE(message.removeHeader("DUP"));
    EXPECT_EQ(message.getHeader("Dup"), "2");
    EXPECT_FALSE(message.removeHeader("absent"));
    EXPECT_EQ(HttpMessage().getHeaders(), "");
}

TEST(HttpMessageTest, CutOffHeadKeepsWhatArrived) {
    HttpMessage message;
    EXPECT_TRUE(parseWire(message, "A: 1\r\nB: 2\r\nC: cut"));
    EXPECT_EQ(message.getHeaders(), "A: 1\r\nB: 2\r\n");
    EXPECT_FALSE(message.isComplete());
    EXPECT_TRUE(parseWire(message, "A: 1\r\n\r\n"));
    EXPECT_TRUE(message.isComplete());
}

TEST(HttpMessageTest, HeadsOverTheLimitsAreRefused) {
    std::string fields;
    for (size_t i = 0; i < HttpMessage::maxFields; ++i)
        fields += "F" + std::to_string(i) + ": v\r\n";
    HttpMessage message;
    EXPECT_TRUE(parseWire(message, fields + "\r\n")) << "exactly maxFields fields";
    EXPECT_FALSE(parseWire(message, fields + "One: more\r\n\r\n")) << "maxFields + 1";

    std::string big(60000, 'v');
    std::string large;
    for (int i = 0; i < 5; ++i)
        large += "Big: " + big + "\r\n"; // five lines under the line limit, 300 KB in all
    EXPECT_FALSE(parseWire(message, large + "\r\n")) << "over maxHeadSize";

    std::string longLine = "Long: " + std::string(HttpSocket::maxLineLength, 'x') + "\r\n\r\n";
    EXPECT_FALSE(parseWire(message, longLine)) << "a line over the limit";
}

TEST(HttpMessageTest, FindsOnlyTrustworthyContentLengths) {
    struct {
        std::vector<const char*> values;
        bool found;
        uint64_t length;
    } cases[] = {
        {{"0"}, true, 0},
        {{"5000000000"}, true, 5000000000ull},
        {{"18446744073709551615"}, true, UINT64_MAX},
        {{"18446744073709551616"}, false, 0}, // does not fit 64 bits
        {{"12 "}, true, 12},
        {{"12", "12"}, true, 12},
        {{"12", "13"}, false, 0},
        {{"-1"}, false, 0},
        {{"+5"}, false, 0},
        {{"0x10"}, false, 0},
        {{"12abc"}, false, 0},
        {{"1 2"}, false, 0},
        {{"5, 5"}, false, 0},
        {{""}, false, 0},
        {{}, false, 0},
    };
    for (const auto& c : cases) {
        HttpMessage message;
        std::string shown;
        for (const char* value : c.values) {
            message.parseHeader(std::string("Content-Length: ") + value);
            shown += std::string("[") + value + "]";
        }
        uint64_t length = 0;
        EXPECT_EQ(message.findContentLength(length), c.found) << shown;
        if (c.found) {
            EXPECT_EQ(length, c.length) << shown;
        }
    }
}

} // namespace
