// The console: the proxy's one line per request and the progress lines go to
// standard output. Any thread may print.
#ifndef SHOAL_CONSOLE_H
#define SHOAL_CONSOLE_H

#include <string>

// Prints __line and a line break with a single write and flushes, so that
// lines of different threads never break apart in the middle.
void printLine(const std::string& __line);

#endif
