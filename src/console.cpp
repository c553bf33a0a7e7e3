#include "console.h"

#include <cstdio>

void printLine(const std::string& __line) {
    std::string text = __line + "\n";
    // One fwrite holds the stream's lock for the whole line.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
