// Tests of Config: the grammar of configuration files, look-ups, the end of
// the process on a missing file, and concurrent use of the map.
#include "config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Entries = std::map<std::string, std::string>;

// Each test starts from an empty map and owns a fresh temporary directory for
// its files.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/shoal-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tempDir = pattern;
        Config::clearForTest();
    }

    void TearDown() override {
        Config::clearForTest();
        std::filesystem::remove_all(tempDir);
    }

    // Writes __text into a file of the temporary directory and returns its path.
    std::string writeFile(const std::string& __text) {
        std::string path = tempDir + "/shoal" + std::to_string(fileCount++) + ".conf";
        std::ofstream(path, std::ios::binary) << __text;
        return path;
    }

    // The map after parsing __text alone.
    Entries parseText(const std::string& __text) {
        Config::clearForTest();
        Config::parse(writeFile(__text));
        return Config::getEntries();
    }

    std::string tempDir;
    int fileCount = 0;
};

struct GrammarCase {
    const char* what;
    const char* text;
    Entries expected;
};

TEST_F(ConfigTest, ParsesEntriesByTheGrammar) {
    const GrammarCase cases[] = {
        {"path value", "LogDirectory = /var/log/shoal\n", {{"LogDirectory", "/var/log/shoal"}}},
        {"blanks and tabs dropped in key and value",
         " my\tkey = two words \n",
         {{"mykey", "twowords"}}},
        {"quoted value keeps blanks", "k = \"two words\"\n", {{"k", "two words"}}},
        {"quoted value keeps # = tab and line ends",
         "k = \"a # b\t\nc=d\"\nn = 1\n",
         {{"k", "a # b\t\nc=d"}, {"n", "1"}}},
        {"unquoted value goes on after the closing quote", "k = \"a b\" c d\n", {{"k", "a bcd"}}},
        {"quote inside an unquoted value is ordinary", "k = a\"b c\"\n", {{"k", "a\"bc\""}}},
        {"only the first = separates", "k = a=b=c\n", {{"k", "a=b=c"}}},
        {"empty value", "k =\n", {{"k", ""}}},
        {"empty quoted value", "k = \"\"\n", {{"k", ""}}},
        {"empty key is not stored", "= v\n", {}},
        {"line without = yields nothing", "just some text\nk = v\n", {{"k", "v"}}},
        {"comment line", "  # k = v\nk2 = v2\n", {{"k2", "v2"}}},
        {"key twice keeps the last value", "k = 1\nk = 2\n", {{"k", "2"}}},
        {"keys are case-sensitive", "Key = a\nkey = b\n", {{"Key", "a"}, {"key", "b"}}},
        {"CR LF line ends", "a = 1\r\nb = 2\r\n", {{"a", "1"}, {"b", "2"}}},
        {"CR alone ends a line", "a = 1\rb = 2\r", {{"a", "1"}, {"b", "2"}}},
        {"last entry without line end", "a = 1\nb = 2", {{"a", "1"}, {"b", "2"}}},
        {"last key without = and line end", "a = 1\nlonely", {{"a", "1"}, {"lonely", ""}}},
        {"unterminated quote runs to the end", "k = \"abc\nd", {{"k", "abc\nd"}}},
        {"empty file", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseText(c.text), c.expected) << c.what;
    }
}

TEST_F(ConfigTest, TrailingCommentEndsEntry) {
    const GrammarCase cases[] = {
        {"entry then comment, next line clean",
         "LogDirectory = logs # where the files go\nLogToTerminal = False\n",
         {{"LogDirectory", "logs"}, {"LogToTerminal", "False"}}},
        {"key without = then comment", "orphan # note\nk = v\n", {{"k", "v"}}},
        {"comment on the last line without line end", "k = v # note", {{"k", "v"}}},
        {"value after a closing quote then comment",
         "k = \"a b\" # note\nn = 1\n",
         {{"k", "a b"}, {"n", "1"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseText(c.text), c.expected) << c.what;
    }
}

TEST_F(ConfigTest, LaterFilesAddToTheMap) {
    Config::parse(writeFile("a = 1\nb = 1\n"));
    Config::parse(writeFile("b = 2\nc = 2\n"));
    EXPECT_EQ(Config::getEntries(), (Entries{{"a", "1"}, {"b", "2"}, {"c", "2"}}));
}

TEST_F(ConfigTest, MissingKeyReadsEmptyAndIsAdded) {
    EXPECT_EQ(Config::readString("absent"), "");
    EXPECT_EQ(Config::readNumber("alsoAbsent"), 0);
    EXPECT_EQ(Config::getEntries(), (Entries{{"absent", ""}, {"alsoAbsent", ""}}));
}

TEST_F(ConfigTest, ReadNumberTakesLeadingDigits) {
    Config::parse(writeFile("digitsThenLetters = 42abc\n"
                            "negative = \" -17\"\n"
                            "plus = +8\n"
                            "noDigits = abc12\n"
                            "empty =\n"
                            "tooLarge = 99999999999\n"
                            "tooSmall = -99999999999\n"));
    const struct {
        const char* key;
        int expected;
    } cases[] = {
        {"digitsThenLetters", 42}, {"negative", -17}, {"plus", 8},
        {"noDigits", 0},           {"empty", 0},      {"tooLarge", INT_MAX},
        {"tooSmall", INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Config::readNumber(c.key), c.expected) << c.key;
    }
}

TEST_F(ConfigTest, ConcurrentUseIsSafe) {
    std::string file = writeFile("shared = 7\n");
    constexpr int threads = 4;
    constexpr int rounds = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &file] {
            for (int i = 0; i < rounds; ++i) {
                // Each look-up of a new key inserts into the map.
                Config::readString("key" + std::to_string(t) + "_" + std::to_string(i));
                Config::readNumber("shared");
                if (i % 50 == 0) {
                    Config::parse(file);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    Entries entries = Config::getEntries();
    EXPECT_EQ(entries.size(), static_cast<size_t>(threads * rounds + 1));
    EXPECT_EQ(Config::readNumber("shared"), 7);
}

TEST(ConfigDeathTest, MissingFileEndsProcessWithStatus1) {
    // The exit handler would print behind the message if parse() ran exit
    // handlers; the anchored pattern admits the message alone.
    EXPECT_EXIT(
        {
            std::atexit([] { std::fputs("exit handler ran\n", stderr); });
            Config::parse("/nonexistent-shoal-dir/shoal.conf");
        },
        ::testing::ExitedWithCode(1),
        "^failed to read config file: /nonexistent-shoal-dir/shoal\\.conf\n$");
}

TEST(ConfigDeathTest, UnreadableFileEndsProcessWithStatus1) {
    // A directory opens as a stream but cannot be read.
    EXPECT_EXIT(Config::parse("/tmp"), ::testing::ExitedWithCode(1),
                "failed to read config file: /tmp");
}

} // namespace
