// Fuzzes the configuration file reader: each input is written to one scratch
// file of the process and read with Config::parse into an emptied map; the
// target checks the entries against the grammar in config.h.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "config.h"
#include "fuzzsupport.h"

namespace {

std::string scratchPath;

void removeScratch() {
    unlink(scratchPath.c_str());
}

void writeScratch(const std::string& __content) {
    int fd = open(scratchPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    size_t done = 0;
    while (fd >= 0 && done < __content.size()) {
        ssize_t written = write(fd, __content.data() + done, __content.size() - done);
        if (written <= 0)
            break;
        done += static_cast<size_t>(written);
    }
    if (fd < 0 || done != __content.size()) {
        std::perror("fuzz scratch file");
        std::abort();
    }
    close(fd);
}

std::map<std::string, std::string> parseText(const std::string& __content) {
    writeScratch(__content);
    Config::clearForTest();
    Config::parse(scratchPath);
    return Config::getEntries();
}

bool isBlank(char __c) {
    return __c == ' ' || __c == '\t';
}

bool isLineEnd(char __c) {
    return __c == '\r' || __c == '\n';
}

std::string withoutBlanks(const std::string& __text) {
    std::string kept;
    for (char c : __text)
        if (!isBlank(c))
            kept += c;
    return kept;
}

// The entries of a file without double quotes, line by line: "#" ends the
// entry, the first "=" splits key and value, blanks go; a last line without
// line end and without "=" is a key with an empty value.
std::map<std::string, std::string> entriesWithoutQuotes(const std::string& __content) {
    std::map<std::string, std::string> entries;
    size_t begin = 0;
    for (;;) {
        size_t end = begin;
        while (end < __content.size() && !isLineEnd(__content[end]))
            ++end;
        bool last = end == __content.size();
        std::string line = __content.substr(begin, end - begin);
        size_t hash = line.find('#');
        std::string entry = line.substr(0, hash);
        size_t equals = entry.find('=');
        if (equals != std::string::npos) {
            std::string key = withoutBlanks(entry.substr(0, equals));
            if (!key.empty())
                entries[key] = withoutBlanks(entry.substr(equals + 1));
        } else if (last && hash == std::string::npos) {
            std::string key = withoutBlanks(entry);
            if (!key.empty())
                entries[key] = "";
        }
        if (last)
            return entries;
        begin = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* directory = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string path = std::string(directory) + "/shoal-config-fuzz-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) {
        std::perror("fuzz scratch file");
        std::abort();
    }
    close(fd);
    scratchPath = path;
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string content(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> entries = parseText(content);

    std::string rewritten;
    for (const auto& entry : entries) {
        const std::string& key = entry.first;
        const std::string& value = entry.second;
        FUZZ_CHECK(!key.empty(), "an empty key");
        for (char c : key)
            FUZZ_CHECK(!isBlank(c) && !isLineEnd(c) && c != '=' && c != '#',
                       "a key holds a blank, line end, = or #");
        // A value is a quoted part (anything but a quote) followed by an
        // unquoted part (no blank, line end or #); a leading quote opens the
        // quoted part and is never kept.
        FUZZ_CHECK(value.empty() || value[0] != '"', "a value keeps its opening quote");
        size_t quote = value.find('"');
        if (quote != std::string::npos)
            for (size_t i = quote; i < value.size(); ++i)
                FUZZ_CHECK(!isBlank(value[i]) && !isLineEnd(value[i]) && value[i] != '#',
                           "a blank, line end or # outside quotes was kept");
        std::string quoted = value.substr(0, quote);
        std::string rest = quote == std::string::npos ? "" : value.substr(quote);
        rewritten += key + " = " + (quoted.empty() ? "" : "\"" + quoted + "\"") + rest + "\n";
    }
    if (content.find('"') == std::string::npos)
        FUZZ_CHECK(entries == entriesWithoutQuotes(content),
                   "the entries differ from the line by line reading");
    // Every map can be written as a file that reads back as the same map.
    FUZZ_CHECK(parseText(rewritten) == entries, "the entries written out read otherwise");
    Config::clearForTest();
    return 0;
}
