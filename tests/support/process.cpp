#include "process.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "testsupport.h"

extern char** environ;

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point __deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(__deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The status of a reaped child in the form of CommandResult::status.
int decodeStatus(int __waitStatus) {
    if (WIFEXITED(__waitStatus))
        return WEXITSTATUS(__waitStatus);
    if (WIFSIGNALED(__waitStatus))
        return 128 + WTERMSIG(__waitStatus);
    return -1;
}

bool isProxyVariable(const char* __entry) {
    const char* equals = std::strchr(__entry, '=');
    size_t length = equals ? static_cast<size_t>(equals - __entry) : std::strlen(__entry);
    static const char suffix[] = "_proxy";
    size_t suffixLength = sizeof suffix - 1;
    return length >= suffixLength &&
           strncasecmp(__entry + length - suffixLength, suffix, suffixLength) == 0;
}

// argv and envp for the exec of a child, without any *_proxy variable; the
// strings stay owned by the caller's vector and by environ.
struct SpawnArguments {
    explicit SpawnArguments(const std::vector<std::string>& __argv) {
        for (const std::string& word : __argv)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        for (char** entry = environ; *entry; ++entry)
            if (!isProxyVariable(*entry))
                envp.push_back(*entry);
        envp.push_back(nullptr);
    }
    std::vector<char*> argv;
    std::vector<char*> envp;
};

// Spawns __argv with the given file actions; 0 when it fails.
pid_t spawn(const std::vector<std::string>& __argv, posix_spawn_file_actions_t* __actions) {
    if (__argv.empty())
        return 0;
    SpawnArguments arguments(__argv);
    pid_t pid = 0;
    if (posix_spawnp(&pid, __argv[0].c_str(), __actions, nullptr, arguments.argv.data(),
                     arguments.envp.data()) != 0)
        return 0;
    return pid;
}

std::string joinWords(const std::vector<std::string>& __argv) {
    std::string line;
    for (const std::string& word : __argv)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

int removeEntry(const char* __path, const struct stat*, int, struct FTW*) {
    return ::remove(__path);
}

} // namespace

std::string readFile(const std::string& __path) {
    std::ifstream in(__path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool writeFile(const std::string& __path, const std::string& __data) {
    std::ofstream out(__path, std::ios::binary | std::ios::trunc);
    out.write(__data.data(), static_cast<std::streamsize>(__data.size()));
    return static_cast<bool>(out.flush());
}

long long fileSize(const std::string& __path) {
    struct stat info;
    return ::stat(__path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/shoal-e2e-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()))
        dir = name.data();
}

TempDir::~TempDir() {
    if (!dir.empty())
        nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string CommandResult::describe() const {
    return "command: " + commandLine + "\nstatus: " + std::to_string(status) +
           (timedOut ? " (killed after the time limit)" : "") + "\nstderr: " + err;
}

CommandResult runCommand(const std::vector<std::string>& __argv, int __timeoutMs,
                         const std::string& __stdinPath) {
    CommandResult result;
    result.commandLine = joinWords(__argv);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string input = __stdinPath.empty() ? "/dev/null" : __stdinPath;
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = spawn(__argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid == 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }

    // Both pipes are drained together, so that a command that fills one of
    // them never blocks; both reach their end when the command exits.
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(__timeoutMs);
    pollfd streams[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* targets[2] = {&result.out, &result.err};
    char buffer[65536];
    int open = 2;
    while (open > 0) {
        int left = millisecondsLeft(deadline);
        int ready = left > 0 ? poll(streams, 2, left) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            ssize_t n = read(streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& stream : streams)
        if (stream.fd >= 0)
            ::close(stream.fd);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result.status = result.timedOut ? -1 : decodeStatus(waitStatus);
    return result;
}

bool ChildProcess::start(const std::vector<std::string>& __argv, const std::string& __stdoutPath,
                         const std::string& __stderrPath) {
    if (childPid != 0 || __argv.empty())
        return false;
    // Everything the child needs is made before fork: between fork and exec
    // it makes system calls only.
    SpawnArguments arguments(__argv);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // A test process that dies without its destructors (a crash, a
        // timeout kill) takes its servers with it, so port 1998 is not left
        // held.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = ::open(__stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int err = ::open(__stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execvpe(arguments.argv[0], arguments.argv.data(), arguments.envp.data());
        _exit(127);
    }
    childPid = pid;
    exitStatus = -1;
    return true;
}

bool ChildProcess::isRunning() {
    if (childPid == 0)
        return false;
    int waitStatus = 0;
    pid_t reaped = waitpid(childPid, &waitStatus, WNOHANG);
    if (reaped == 0)
        return true;
    if (reaped == childPid)
        exitStatus = decodeStatus(waitStatus);
    childPid = 0;
    return false;
}

bool ChildProcess::waitExit(int __timeoutMs, int& __status) {
    if (!waitUntil([this] { return !isRunning(); }, __timeoutMs))
        return false;
    __status = exitStatus;
    return true;
}

int ChildProcess::stop(int __graceMs) {
    if (childPid == 0)
        return -1;
    if (isRunning()) {
        kill(childPid, SIGTERM);
        if (!waitUntil([this] { return !isRunning(); }, __graceMs)) {
            kill(childPid, SIGKILL);
            int waitStatus = 0;
            while (waitpid(childPid, &waitStatus, 0) < 0 && errno == EINTR) {
            }
            exitStatus = decodeStatus(waitStatus);
            childPid = 0;
        }
    }
    return exitStatus;
}

bool waitForPort(int __port, int __timeoutMs, const std::function<bool()>& __alive) {
    return waitUntil(
               [&] {
                   if (__alive && !__alive())
                       return true;
                   int fd = connectTo(__port);
                   if (fd < 0)
                       return false;
                   ::close(fd);
                   return true;
               },
               __timeoutMs) &&
           (!__alive || __alive());
}

bool waitUntil(const std::function<bool()>& __condition, int __timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(__timeoutMs);
    for (;;) {
        if (__condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace test
