// Child processes for end-to-end tests: servers that run until the test stops
// them by their process id, and client commands run to their end with their
// output captured. Also the scratch directories and files around them.
#ifndef SHOAL_PROCESS_H
#define SHOAL_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace test {

// The whole content of a file; "" when it cannot be read.
std::string readFile(const std::string& __path);
// Replaces the file's content by __data. False when it cannot be written.
bool writeFile(const std::string& __path, const std::string& __data);
// The size of a file in bytes, or -1 when it does not exist.
long long fileSize(const std::string& __path);

// A fresh directory under $TMPDIR (or /tmp); removed with everything in it
// when the object is destroyed. path() is "" when it could not be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    // The path of __name inside the directory.
    std::string file(const std::string& __name) const { return dir + "/" + __name; }

private:
    std::string dir;
};

// What a command run to its end left behind.
struct CommandResult {
    // The exit status; 128 + the signal number when a signal ended it; -1
    // when it could not be started or was killed after the time limit.
    int status = -1;
    // True when it was still running after the time limit and was killed.
    bool timedOut = false;
    std::string out;         // everything it wrote on standard output
    std::string err;         // everything it wrote on standard error
    std::string commandLine; // the words of the command, joined by spaces

    // The command line, status and standard error, for failure messages.
    std::string describe() const;
};

// Runs __argv (the program looked up in PATH) to its end and captures both
// output streams. Standard input comes from __stdinPath, or /dev/null when
// it is empty. A command still running after __timeoutMs is killed. The
// child's environment is this process's without any *_proxy variable, so
// that only the options given reach a client. Safe to call from any thread.
CommandResult runCommand(const std::vector<std::string>& __argv, int __timeoutMs = 60000,
                         const std::string& __stdinPath = std::string());

// A long-running child (a server) with its standard output and error in
// files. The destructor stops it: SIGTERM, SIGKILL after a grace period,
// then waitpid. Owning thread only.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts __argv (the program looked up in PATH, or a path) with
    // standard input from /dev/null and both output streams appended to the
    // given files. False when it could not be started; a program that cannot
    // be executed is seen as an exit with status 127. Should the calling
    // thread end first (the test process crashed or was killed), the kernel
    // kills the child, so that no server outlives its test.
    bool start(const std::vector<std::string>& __argv, const std::string& __stdoutPath,
               const std::string& __stderrPath);
    // The process id; 0 before start() and after the process has been reaped.
    pid_t pid() const { return childPid; }
    // True while the process has not exited. Reaps it once it has.
    bool isRunning();
    // Waits up to __timeoutMs for the process to end by itself. True with its
    // status (as in CommandResult) in __status; false when it still runs.
    bool waitExit(int __timeoutMs, int& __status);
    // SIGTERM, then SIGKILL when it has not ended within __graceMs, then
    // waits for it. Returns its status as in CommandResult, or -1 when there
    // was no process to stop.
    int stop(int __graceMs = 5000);

private:
    pid_t childPid = 0;
    int exitStatus = -1; // the status once reaped
};

// True once a TCP connect to 127.0.0.1:__port succeeds; false when
// __timeoutMs pass first or __alive (when given) turns false.
bool waitForPort(int __port, int __timeoutMs = 10000,
                 const std::function<bool()>& __alive = std::function<bool()>());
// Checks __condition every 10 ms until it holds (true) or __timeoutMs pass
// (false).
bool waitUntil(const std::function<bool()>& __condition, int __timeoutMs = 10000);

} // namespace test

#endif
