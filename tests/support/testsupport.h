// Helpers for tests that talk over real loopback sockets: raw clients, TCP
// pairs of HttpSockets, a scripted origin and an in-process proxy, all on
// ephemeral ports of 127.0.0.1.
#ifndef SHOAL_TESTSUPPORT_H
#define SHOAL_TESTSUPPORT_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "httpserver.h"
#include "httpsocket.h"

namespace test {

// __size bytes drawn from a generator seeded with __seed.
std::string randomBytes(size_t __size, unsigned __seed);

// A free TCP port on 127.0.0.1 (bound once, then released).
int freePort();

// A plain socket connected to 127.0.0.1:__port, or -1.
int connectTo(int __port);
bool sendAll(int __fd, const std::string& __data);
// Reads until the peer closes or __timeoutMs pass without a byte.
std::string readAll(int __fd, int __timeoutMs = 5000);
// Reads until __data ends with __marker, the peer closes, or the time is up.
std::string readUntil(int __fd, const std::string& __marker, int __timeoutMs = 5000);
// Reads __size bytes, or fewer when the peer closes or the time is up.
std::string readExactly(int __fd, size_t __size, int __timeoutMs = 5000);
// True when the peer has closed the connection within __timeoutMs
// (bytes still arriving before the close are read and dropped).
bool waitClosed(int __fd, int __timeoutMs = 5000);

// Two connected HttpSockets over loopback: `near` made by connect, `far` by
// accept.
struct TcpPair {
    TcpPair();
    std::unique_ptr<HttpSocket> near;
    std::unique_ptr<HttpSocket> far;
};

// One accepted connection of a ScriptedOrigin, for its handler.
class OriginConnection {
public:
    explicit OriginConnection(int __fd) : fd(__fd) {}
    // The next request head, up to and including its empty line; "" when the
    // client closed first.
    std::string readHead();
    // Exactly __size bytes (fewer when the client closed first).
    std::string readBytes(size_t __size);
    bool send(const std::string& __data) { return sendAll(fd, __data); }
    // Ends the connection both ways; the descriptor itself is closed when the
    // handler returns.
    void close();
    int handle() const { return fd; }

private:
    int fd;
    std::string pending; // bytes read past the last head
};

// A small origin on 127.0.0.1 whose every connection runs __handler on a
// thread of its own. Records each request head it reads through readHead().
class ScriptedOrigin {
public:
    using Handler = std::function<void(OriginConnection&, int __index)>;
    explicit ScriptedOrigin(Handler __handler);
    // Stops accepting, ends every connection and joins every thread.
    ~ScriptedOrigin();
    int port() const { return listenPort; }
    int connectionCount() const { return accepted.load(); }

private:
    void acceptLoop();

    Handler handler;
    int listenFd = -1;
    int listenPort = 0;
    std::atomic<int> accepted{0};
    std::atomic<bool> stopping{false};
    std::mutex mutex; // guards threads and fds
    std::vector<std::thread> threads;
    std::vector<int> fds;
    std::thread acceptor;
};

// The proxy's listener on an ephemeral port, in this process.
class InProcessProxy {
public:
    InProcessProxy();
    // Stops the listener, which closes and joins every connection.
    ~InProcessProxy();
    int port() const { return proxyPort; }

private:
    HttpServer server;
    int proxyPort = 0;
};

// Counts of this process's open descriptors and threads (from /proc).
int openDescriptors(int __pid = 0);
int threadCount(int __pid = 0);

// A process's threads and open descriptors at one moment.
struct Figures {
    int threads = 0;
    int descriptors = 0;
};
Figures figuresOf(int __pid);
// The lowest figures seen over __ms: what an idle process holds once the
// connections that have just ended are torn down.
Figures idleFigures(int __pid, int __ms = 300);
// Waits until __pid holds at most __limit's threads and descriptors plus
// __margin each; __seen gets the last figures read.
bool waitForFigures(int __pid, const Figures& __limit, int __margin, int __timeoutMs,
                    Figures& __seen);
std::ostream& operator<<(std::ostream& __out, const Figures& __figures);

} // namespace test

#endif
