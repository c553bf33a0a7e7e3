// HttpSocket: one IPv4 TCP stream socket through which all of the proxy's
// network traffic passes. Line reads take what one receive brings into a
// read-ahead buffer of the socket's own; every later read of either kind is
// served from that buffer first, so that line reads and raw body reads share
// a socket without losing or reordering a byte. Every failure is reported by
// the result only.
//
// Each object is used by one thread at a time, except shutdown(), which may be
// called from another thread to end a receive blocked in the owning thread.
#ifndef SHOAL_HTTPSOCKET_H
#define SHOAL_HTTPSOCKET_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class HttpSocket {
public:
    // A head line longer than this many bytes ends the exchange.
    static constexpr size_t maxLineLength = 64 * 1024;
    // Connects that find the queue of pending clients full are dropped, and
    // the client tries again only a second later: the queue is as long as the
    // system allows, so that a burst of clients (a browser opens several
    // connections at once) is not held up.
    static constexpr int backlog = SOMAXCONN;
    // How long connect() waits for an origin; tests shorten it.
    static std::atomic<int> connectTimeoutMs;
    static constexpr int connectSliceMs = 100;
    // The most one line read asks the handle for.
    static constexpr int readAheadSize = 8192;

    HttpSocket() = default;
    // Closes the handle if one is still open.
    ~HttpSocket();

    HttpSocket(const HttpSocket&) = delete;
    HttpSocket& operator=(const HttpSocket&) = delete;

    // Creates the socket if there is none (requesting SO_REUSEADDR) and binds
    // the port on every local interface. True when the bind succeeded.
    bool bind(int __port);
    // Listens with a queue of backlog pending clients. True when the platform
    // listen succeeded.
    bool listen();
    // Waits for a client. A new socket owned by the caller, or null on failure.
    // Accepted and connected sockets send every piece at once (TCP_NODELAY).
    HttpSocket* accept();
    // Connects to host:port, giving up after connectTimeoutMs. A dotted
    // numeric host is used as it is; any other is resolved with getaddrinfo
    // (IPv4, first address). False when the port is outside 1..65535, the name
    // cannot be resolved or the connect fails; the socket then stays in the
    // object, which the caller discards.
    bool connect(std::string __host, int __port);

    // Reads one line into __buffer, without its LF and without any CR. False
    // when the peer closed or failed first (the partial line stays in
    // __buffer), or when the line runs past maxLineLength: __buffer then
    // holds more than maxLineLength bytes.
    bool receive(std::string& __buffer);
    // Sends __buffer followed by CR LF. True only when all of it was sent.
    bool send(const std::string& __buffer);
    // One receive of at most __size bytes: the bytes read ahead when there
    // are any, else one receive from the handle. The count received, 0 when
    // the peer closed, -1 on an error, a timeout, or after shutdown().
    int receive(char* __data, int __size);
    // Bytes read ahead by a line read and not yet taken. A wait on the handle
    // does not see them: callers that poll handles take these first.
    int getBufferedBytes() const { return aheadEnd - aheadBegin; }
    // Waits until a receive would not block: bytes are read ahead or have
    // arrived, the peer closed or the connection failed. False after
    // __milliseconds, or when the socket is shut down or has no handle.
    bool waitReadable(int __milliseconds);
    // One send of __size bytes: the count accepted or -1. Callers treat any
    // result other than __size as a failed send. __more tells that the next
    // send follows at once: the bytes may then wait for it, so that pieces of
    // a body travel in full segments rather than one packet each.
    int send(const char* __data, int __size, bool __more = false);
    // True when a receive would return bytes at once: bytes are read ahead,
    // or have arrived at the handle.
    bool hasPendingBytes() const;

    // Ends both directions, so that a receive blocked in another thread
    // returns and every later call fails. May be called from any thread, any
    // number of times. The handle itself is closed by the destructor, so its
    // number cannot be handed out again while another thread may still use it.
    void shutdown();

    // Limits how long one receive or one send may wait for the peer; 0 means
    // no limit.
    void setTimeout(int __milliseconds);

    // The handle for readiness waiting, or -1 when there is none or after
    // shutdown().
    int getSocketHandle() const;
    // The local port of a bound or connected socket, or 0.
    int getLocalPort() const;
    // True when this connected socket leads to __port on this very machine:
    // a loopback address, or the address of our own end of the connection.
    bool leadsToLocalPort(int __port) const;
    // Bytes taken by the socket's readers so far; tells "nothing at all" from
    // "a partial line".
    uint64_t getReceivedBytes() const { return receivedBytes; }

private:
    bool createSocket();
    // One receive from the handle, retried when a signal interrupts it.
    int receiveFromHandle(char* __data, int __size);
    // Refills the empty read-ahead buffer with one receive. False when the
    // peer closed or the receive failed.
    bool fillReadAhead();

    std::atomic<int> socketHandle{-1}; // written by the owner; closed by the destructor
    std::atomic<bool> shut{false};     // set by shutdown(), from any thread
    uint64_t receivedBytes = 0;        // owner's thread
    // The read-ahead buffer (owned, made by the first line read) and the
    // bytes of it not yet taken, [aheadBegin, aheadEnd). Owner's thread.
    std::unique_ptr<char[]> readAhead;
    int aheadBegin = 0;
    int aheadEnd = 0;
    sockaddr_in remoteAddress{};
    sockaddr_in localAddress{};
};

#endif
