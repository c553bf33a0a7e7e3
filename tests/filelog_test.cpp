// Tests of FileLog in a temporary directory, with the clock held by the test:
// directories and file names, line forms in the file and on the console, the
// console switch, changes of date, restarts, failures and concurrent writers.
#include "filelog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.h"

namespace {

namespace fs = std::filesystem;

std::atomic<std::time_t> fakeNow{0};
std::time_t fakeClock() {
    return fakeNow.load();
}

// The time_t of a local date and time of day.
std::time_t localTime(int __year, int __month, int __day, int __hour, int __minute, int __second) {
    std::tm tm{};
    tm.tm_year = __year - 1900;
    tm.tm_mon = __month - 1;
    tm.tm_mday = __day;
    tm.tm_hour = __hour;
    tm.tm_min = __minute;
    tm.tm_sec = __second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string readFile(const std::string& __path) {
    std::ifstream in(__path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Log files (*.txt) anywhere below __dir.
std::vector<std::string> logFilesBelow(const std::string& __dir) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(__dir)) {
        if (entry.path().extension() == ".txt") {
            files.push_back(entry.path().string());
        }
    }
    return files;
}

std::vector<std::string> splitLines(const std::string& __text, const std::string& __end) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t pos;
    while ((pos = __text.find(__end, start)) != std::string::npos) {
        lines.push_back(__text.substr(start, pos - start));
        start = pos + __end.size();
    }
    EXPECT_EQ(start, __text.size()) << "text after the last line end";
    return lines;
}

// Every test starts from a fresh log (as a new start of the program would)
// and an empty configuration, with the clock at 2024-03-05 14:03:09 local
// time, and owns a fresh temporary directory.
class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/shoal-filelog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tempDir = pattern;
        Config::clearForTest();
        FileLog::resetForTest();
        FileLog::setClock(fakeClock);
        fakeNow = localTime(2024, 3, 5, 14, 3, 9);
    }

    void TearDown() override {
        FileLog::resetForTest();
        FileLog::setClock(nullptr);
        Config::clearForTest();
        fs::remove_all(tempDir);
    }

    // Adds the entries __text to the configuration through a file.
    void configure(const std::string& __text) {
        std::string path = tempDir + "/shoal" + std::to_string(configCount++) + ".conf";
        std::ofstream(path, std::ios::binary) << __text;
        Config::parse(path);
    }

    void configureDirectory(const std::string& __dir) {
        configure("LogDirectory = \"" + __dir + "\"\n");
    }

    // What __action writes to descriptor __fd (1 standard output, 2 standard
    // error).
    std::string capture(int __fd, const std::function<void()>& __action) {
        std::string path = tempDir + "/captured" + std::to_string(captureCount++);
        std::fflush(stdout);
        std::fflush(stderr);
        int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        int saved = dup(__fd);
        dup2(file, __fd);
        __action();
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved, __fd);
        close(saved);
        close(file);
        std::string text = readFile(path);
        unlink(path.c_str());
        return text;
    }

    std::string console(const std::function<void()>& __action) { return capture(1, __action); }

    std::string tempDir;
    int configCount = 0;
    int captureCount = 0;
};

TEST_F(FileLogTest, WritesDatedFileInNewNestedDirectories) {
    std::string logDir = tempDir + "/a/b";
    configureDirectory(logDir);
    mode_t oldMask = umask(0);
    std::string out = console([] { FileLog::writeLine("100% done %s"); });
    umask(oldMask);

    for (const std::string& made : {tempDir + "/a", logDir}) {
        struct stat info;
        ASSERT_EQ(stat(made.c_str(), &info), 0) << made;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << made;
        EXPECT_EQ(info.st_mode & 07777, 0755u) << made;
    }
    EXPECT_EQ(logFilesBelow(tempDir), std::vector<std::string>{logDir + "/2024-03-05.txt"});
    EXPECT_EQ(readFile(logDir + "/2024-03-05.txt"), "[14:03:09]100% done %s\r\n");
    EXPECT_EQ(out, "[14:03:09]100% done %s\n");
}

TEST_F(FileLogTest, ConsoleCopyIsOffOnlyForExactFalse) {
    const struct {
        const char* entry;
        bool printed;
    } cases[] = {
        {"LogToTerminal = False\n", false}, {"LogToTerminal = false\n", true},
        {"LogToTerminal = FALSE\n", true},  {"LogToTerminal = 0\n", true},
        {"LogToTerminal =\n", true},        {"", true},
    };
    int index = 0;
    for (const auto& c : cases) {
        FileLog::resetForTest();
        Config::clearForTest();
        std::string logDir = tempDir + "/case" + std::to_string(index++);
        configureDirectory(logDir);
        configure(c.entry);
        std::string out = console([] { FileLog::writeLine("line"); });
        EXPECT_EQ(out, c.printed ? "[14:03:09]line\n" : "") << c.entry;
        EXPECT_EQ(readFile(logDir + "/2024-03-05.txt"), "[14:03:09]line\r\n") << c.entry;
    }
}

TEST_F(FileLogTest, OpensNewFileOnChangeOfDate) {
    configureDirectory(tempDir);
    console([] {
        fakeNow = localTime(2024, 3, 5, 23, 59, 59);
        FileLog::writeLine("late");
        fakeNow = localTime(2024, 3, 6, 0, 0, 1);
        FileLog::writeLine("early");
        // The same day of a later month is another date.
        fakeNow = localTime(2024, 4, 6, 0, 0, 2);
        FileLog::writeLine("a month on");
    });
    EXPECT_EQ(readFile(tempDir + "/2024-03-05.txt"), "[23:59:59]late\r\n");
    EXPECT_EQ(readFile(tempDir + "/2024-03-06.txt"), "[00:00:01]early\r\n");
    EXPECT_EQ(readFile(tempDir + "/2024-04-06.txt"), "[00:00:02]a month on\r\n");
}

TEST_F(FileLogTest, AppendsAcrossStarts) {
    configureDirectory(tempDir);
    console([] {
        FileLog::writeLine("first start");
        FileLog::resetForTest(); // the program starts again the same day
        FileLog::writeLine("second start");
    });
    EXPECT_EQ(readFile(tempDir + "/2024-03-05.txt"),
              "[14:03:09]first start\r\n[14:03:09]second start\r\n");
}

TEST_F(FileLogTest, PrintsToConsoleWithoutDirectory) {
    std::string out = console([] { FileLog::writeLine("nowhere"); });
    EXPECT_EQ(out, "[14:03:09]nowhere\n");
    EXPECT_TRUE(logFilesBelow(tempDir).empty());

    // A directory configured later is taken up at the next change of date.
    configureDirectory(tempDir);
    console([] { FileLog::writeLine("same date"); });
    EXPECT_TRUE(logFilesBelow(tempDir).empty());
    fakeNow = localTime(2024, 3, 6, 8, 0, 0);
    console([] { FileLog::writeLine("next date"); });
    EXPECT_EQ(readFile(tempDir + "/2024-03-06.txt"), "[08:00:00]next date\r\n");
}

TEST_F(FileLogTest, PrintsToConsoleWhenDirectoryCannotBeMade) {
    std::string plain = tempDir + "/plain";
    std::ofstream(plain) << "a file, not a directory";
    configureDirectory(plain + "/logs");
    std::string out = console([] { FileLog::writeLine("still seen"); });
    EXPECT_EQ(out, "[14:03:09]still seen\n");
    EXPECT_TRUE(logFilesBelow(tempDir).empty());
}

TEST_F(FileLogTest, AcceptsDirectoryEndingInSlash) {
    for (const std::string& logDir : {tempDir + "/new/dir/", tempDir + "/"}) {
        FileLog::resetForTest();
        Config::clearForTest();
        configureDirectory(logDir);
        console([] { FileLog::writeLine("slash"); });
        EXPECT_EQ(readFile(logDir + "2024-03-05.txt"), "[14:03:09]slash\r\n") << logDir;
    }
}

TEST_F(FileLogTest, KeepsOldFileWhenNewFileCannotOpen) {
    configureDirectory(tempDir);
    console([] { FileLog::writeLine("day one"); });
    // A directory in the way of the next date's file.
    ASSERT_EQ(mkdir((tempDir + "/2024-03-06.txt").c_str(), 0755), 0);
    fakeNow = localTime(2024, 3, 6, 9, 0, 0);
    console([] { FileLog::writeLine("day two"); });
    EXPECT_EQ(readFile(tempDir + "/2024-03-05.txt"), "[14:03:09]day one\r\n[09:00:00]day two\r\n");
}

TEST_F(FileLogTest, KeepsDirectoryAndRereadsConsoleSwitchOnNewDate) {
    std::string first = tempDir + "/first";
    configureDirectory(first);
    console([] { FileLog::writeLine("one"); });

    configure("LogDirectory = \"" + tempDir + "/second\"\nLogToTerminal = False\n");
    EXPECT_EQ(console([] { FileLog::writeLine("two"); }), "[14:03:09]two\n");
    fakeNow = localTime(2024, 3, 6, 9, 0, 0);
    EXPECT_EQ(console([] { FileLog::writeLine("three"); }), "");

    EXPECT_EQ(readFile(first + "/2024-03-05.txt"), "[14:03:09]one\r\n[14:03:09]two\r\n");
    EXPECT_EQ(readFile(first + "/2024-03-06.txt"), "[09:00:00]three\r\n");
    EXPECT_FALSE(fs::exists(tempDir + "/second"));
}

std::atomic<int> clockCalls{0};

TEST_F(FileLogTest, HandlesUnavailableLocalTime) {
    configureDirectory(tempDir);
    // A time far beyond any year localtime can express.
    FileLog::setClock([] { return std::numeric_limits<std::time_t>::max(); });
    EXPECT_EQ(console([] { FileLog::writeLine("dropped"); }), "");
    EXPECT_TRUE(logFilesBelow(tempDir).empty());

    // The time fails only when the file of the date is to be opened: the
    // message goes to standard error, no file is opened, the console copy
    // is still printed.
    FileLog::setClock([] {
        return clockCalls++ % 2 == 0 ? fakeNow.load() : std::numeric_limits<std::time_t>::max();
    });
    std::string out;
    std::string err = capture(2, [&] { out = console([] { FileLog::writeLine("kept"); }); });
    EXPECT_EQ(err.rfind("log init_file_path: ERROR GETTING SYSTEM TIME.: ", 0), 0u) << err;
    EXPECT_EQ(out, "[14:03:09]kept\n");
    EXPECT_TRUE(logFilesBelow(tempDir).empty());
}

TEST_F(FileLogTest, ConcurrentWritersProduceWholeLines) {
    configureDirectory(tempDir);
    constexpr int writers = 8;
    constexpr int linesEach = 250;
    std::vector<std::string> expected;
    for (int w = 0; w < writers; ++w) {
        for (int i = 0; i < linesEach; ++i) {
            // Lines of many lengths, so that a torn line shows.
            expected.push_back("[00:00:01]writer" + std::to_string(w) + " line" +
                               std::to_string(i) + " " +
                               std::string(i % 40 * 5, static_cast<char>('a' + w)));
        }
    }

    std::string out = console([&] {
        FileLog::writeLine("before midnight");
        // All writers meet the change of date at their first line.
        fakeNow = localTime(2024, 3, 6, 0, 0, 1);
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([w, &expected] {
                for (int i = 0; i < linesEach; ++i) {
                    FileLog::writeLine(expected[w * linesEach + i].substr(10));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    });

    std::string dayTwo = tempDir + "/2024-03-06.txt";
    // The change of date opened the new file once: one descriptor on it.
    int descriptors = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == dayTwo) {
            ++descriptors;
        }
    }
    EXPECT_EQ(descriptors, 1);

    std::sort(expected.begin(), expected.end());
    std::vector<std::string> fileLines = splitLines(readFile(dayTwo), "\r\n");
    std::sort(fileLines.begin(), fileLines.end());
    EXPECT_TRUE(fileLines == expected) << "file lines torn, lost or doubled";

    std::vector<std::string> consoleLines = splitLines(out, "\n");
    ASSERT_FALSE(consoleLines.empty());
    EXPECT_EQ(consoleLines.front(), "[14:03:09]before midnight");
    consoleLines.erase(consoleLines.begin());
    std::sort(consoleLines.begin(), consoleLines.end());
    EXPECT_TRUE(consoleLines == expected) << "console lines torn, lost or doubled";

    EXPECT_EQ(readFile(tempDir + "/2024-03-05.txt"), "[14:03:09]before midnight\r\n");
}

} // namespace
