// FileLog: the daily log file. writeLine() puts one line, with the time of
// day in front, into the file of the current date in the directory configured
// under "LogDirectory" (created when missing, parents included), and copies it
// to the console unless "LogToTerminal" is exactly "False". Static members
// only; the state is one set per process. Any thread may call writeLine():
// calls are serialised by the log's own lock, which is taken before Config's
// lock, never after it.
#ifndef SHOAL_FILELOG_H
#define SHOAL_FILELOG_H

#include <ctime>
#include <string>

class FileLog {
public:
    // Writes "[time]" + __log + CR LF to the file of the day and flushes it;
    // prints "[time]" + __log + LF on standard output unless the console copy
    // is off. The file of the day is opened for appending at the first line of
    // each date; the directory is read from the configuration until one is
    // configured and then kept, the console switch is read again at each
    // change of date. While no file can be opened, the line reaches the
    // console only. When the local time is unavailable, the line is dropped.
    static void writeLine(const std::string& __log);

    // The source of the current time; std::time without a hook.
    using Clock = std::time_t (*)();

    // Test seam: takes the time from __clock from now on; nullptr restores
    // the system clock.
    static void setClock(Clock __clock);

    // Test seam: closes the open file and returns the state to that of a
    // fresh process (no date, no directory, console copy on), as at a new
    // start of the program.
    static void resetForTest();
};

#endif
