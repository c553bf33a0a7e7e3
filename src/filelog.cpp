#include "filelog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "config.h"

namespace {

// All state below is guarded by log_mutex; every writer of a line takes it
// for the whole line, so lines never break apart and a change of date opens
// the new file once.
std::mutex log_mutex;
// Calendar date of the file now open as yyyymmdd; 0 until the first line.
int log_day = 0;
// The log directory, copied from the configuration; empty until configured.
char dir[256] = {};
// When not 0, each line is also printed on the console.
char logToTerminal = 1;
// Full path of the file now open.
std::string fileName;
// The file now open; nullptr while none is.
std::FILE* fp_log = nullptr;
// The time source; nullptr for the system clock.
FileLog::Clock log_clock = nullptr;

std::time_t currentTime() {
    return log_clock != nullptr ? log_clock() : std::time(nullptr);
}

int dateOf(const std::tm& __now) {
    return (__now.tm_year + 1900) * 10000 + (__now.tm_mon + 1) * 100 + __now.tm_mday;
}

// Creates the directory __dir and any of its missing parents, with mode 0755
// as the umask allows. Only "/" separates components; the first character is
// never taken as a separator. 0 when the directory exists afterwards (a
// trailing "/" included), negative otherwise.
int createDirectory(char* __dir) {
    if (access(__dir, F_OK) == 0) {
        return 0;
    }
    for (char* p = __dir + 1; *p != '\0'; ++p) {
        if (*p != '/') {
            continue;
        }
        *p = '\0';
        if (access(__dir, F_OK) != 0) {
            // A failure shows in the final check below.
            mkdir(__dir, 0755);
        }
        *p = '/';
    }
    if (mkdir(__dir, 0755) == 0) {
        return 0;
    }
    // With a trailing "/" the walk above has made the directory already.
    struct stat info;
    if (stat(__dir, &info) == 0 && S_ISDIR(info.st_mode)) {
        return 0;
    }
    return -1;
}

// Records the date, reads the configuration and opens the file of the date
// for appending. Leaves the file open so far (if any) in place when no
// directory is configured, the directory cannot be made or the new file
// cannot be opened. Caller holds log_mutex.
void init_file_path() {
    std::time_t now = currentTime();
    std::tm local;
    if (localtime_r(&now, &local) == nullptr) {
        std::perror("log init_file_path: ERROR GETTING SYSTEM TIME.");
        return;
    }
    // Recorded before anything can fail, so that a failure is not retried on
    // every line but at the next change of date.
    log_day = dateOf(local);

    char tmp[64];
    std::strftime(tmp, sizeof(tmp), "/%Y-%m-%d.txt", &local);

    // The directory is fixed once configured; until then it is looked up at
    // each change of date.
    if (dir[0] == '\0') {
        std::strncpy(dir, Config::readString("LogDirectory").c_str(), sizeof(dir) - 1);
        dir[sizeof(dir) - 1] = '\0';
    }
    if (dir[0] == '\0') {
        return;
    }
    logToTerminal = Config::readString("LogToTerminal") == "False" ? 0 : 1;

    if (createDirectory(dir) < 0) {
        return;
    }
    // A directory given with a trailing "/" gets no second one.
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path == "/") {
        path.clear();
    }
    path += tmp;

    // Appending keeps the lines of an earlier start of the same day.
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        return;
    }
    if (fp_log != nullptr) {
        std::fclose(fp_log);
    }
    fp_log = file;
    fileName = path;
}

} // namespace

void FileLog::writeLine(const std::string& __log) {
    std::lock_guard<std::mutex> guard(log_mutex);
    std::time_t now = currentTime();
    std::tm local;
    if (localtime_r(&now, &local) == nullptr) {
        return;
    }
    if (dateOf(local) != log_day) {
        init_file_path();
    }

    char tmp[16];
    if (std::strftime(tmp, sizeof(tmp), "%X", &local) == 0) {
        tmp[0] = '\0'; // the contents are undefined when the time does not fit
    }
    if (fp_log != nullptr) {
        std::fprintf(fp_log, "[%s]%s\r\n", tmp, __log.c_str());
        std::fflush(fp_log);
    }
    // The console copy goes out even while no file is open, so that no line
    // disappears unseen.
    if (logToTerminal != 0) {
        std::printf("[%s]%s\n", tmp, __log.c_str());
        std::fflush(stdout);
    }
}

void FileLog::setClock(Clock __clock) {
    std::lock_guard<std::mutex> guard(log_mutex);
    log_clock = __clock;
}

void FileLog::resetForTest() {
    std::lock_guard<std::mutex> guard(log_mutex);
    if (fp_log != nullptr) {
        std::fclose(fp_log);
        fp_log = nullptr;
    }
    log_day = 0;
    dir[0] = '\0';
    logToTerminal = 1;
    fileName.clear();
}
