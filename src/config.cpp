#include "config.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>

std::mutex Config::mapMutex;
std::map<std::string, std::string> Config::configMap;

namespace {

// Prints the failure on standard error and ends the process at once: the
// caller cannot go on without its configuration, and exit handlers of a
// half-started process are not to be trusted.
[[noreturn]] void failToRead(const std::string& __filename) {
    std::string message = "failed to read config file: " + __filename + "\n";
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

void Config::parse(const std::string& __filename) {
    enum State { ParsingName = 0, ParsingValue = 1, ParsingComment = 2, ParsingString = 3 };

    std::ifstream in(__filename);
    if (!in.good()) {
        failToRead(__filename);
    }

    // The file is read without the lock into a map of its own, which is merged
    // at the end; a later entry of a key replaces an earlier one either way.
    std::map<std::string, std::string> entries;
    State state = ParsingName;
    std::string name;
    std::string value;
    // Stores the entry collected so far (an empty key is dropped) and starts
    // the next one.
    auto endEntry = [&]() {
        if (!name.empty()) {
            entries[name] = value;
        }
        name.clear();
        value.clear();
    };

    char ch;
    while (in.get(ch)) {
        bool blank = ch == ' ' || ch == '\t';
        bool lineEnd = ch == '\r' || ch == '\n';
        switch (state) {
        case ParsingName:
            if (blank) {
                // dropped
            } else if (lineEnd) {
                name.clear(); // a line without "=" yields nothing
            } else if (ch == '=') {
                state = ParsingValue;
            } else if (ch == '#') {
                // Like a line end: a key without "=" before the comment is
                // dropped rather than carried into the next line.
                name.clear();
                state = ParsingComment;
            } else {
                name += ch;
            }
            break;
        case ParsingValue:
            if (ch == '"' && value.empty()) {
                state = ParsingString;
            } else if (blank) {
                // dropped
            } else if (lineEnd) {
                endEntry();
                state = ParsingName;
            } else if (ch == '#') {
                // A comment behind an entry ends the entry here.
                endEntry();
                state = ParsingComment;
            } else {
                value += ch;
            }
            break;
        case ParsingString:
            if (ch == '"') {
                state = ParsingValue; // the value may go on unquoted
            } else {
                value += ch;
            }
            break;
        case ParsingComment:
            if (lineEnd) {
                state = ParsingName;
            }
            break;
        }
    }
    // A read error (a directory, say) is not the end of the file.
    if (in.bad()) {
        failToRead(__filename);
    }
    // The last entry needs no line end; in any state, what has been collected
    // under a key is stored.
    endEntry();

    std::lock_guard<std::mutex> guard(mapMutex);
    for (const auto& entry : entries) {
        configMap[entry.first] = entry.second;
    }
}

const std::string Config::readString(const std::string& __name) {
    std::lock_guard<std::mutex> guard(mapMutex);
    return configMap[__name];
}

int Config::readNumber(const std::string& __name) {
    std::string value = readString(__name);
    // strtol reads the same form as atoi, but a value out of range comes back
    // clamped to the range of long instead of being undefined.
    long number = std::strtol(value.c_str(), nullptr, 10);
    if (number > INT_MAX) {
        return INT_MAX;
    }
    if (number < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(number);
}

std::map<std::string, std::string> Config::getEntries() {
    std::lock_guard<std::mutex> guard(mapMutex);
    return configMap;
}

void Config::clearForTest() {
    std::lock_guard<std::mutex> guard(mapMutex);
    configMap.clear();
}
