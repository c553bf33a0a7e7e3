// HttpServer: the listener. Its thread accepts clients one at a time, gives
// each an HttpConnection running on a thread of its own, and reaps finished
// connections after each accepted client.
#ifndef SHOAL_HTTPSERVER_H
#define SHOAL_HTTPSERVER_H

#include <atomic>
#include <string>
#include <vector>

#include "cppthread.h"
#include "httpsocket.h"

class HttpConnection;

class HttpServer : public CppThread {
public:
    static constexpr int proxyPort = 1998;
    // Pause after a failed accept (out of descriptors, say), so that the loop
    // does not spin.
    static constexpr int acceptRetryMs = 100;

    explicit HttpServer(int __port = proxyPort);
    // Frees the list; connections still in it are not deleted.
    ~HttpServer() override;

    // Binds the port on every local interface and listens. False with the
    // reason in __error when either fails. Call before startThread().
    bool openListener(std::string& __error);
    // The port listened on (useful when constructed with port 0).
    int getPort() const { return listenSocket.getLocalPort(); }

    // The accept loop, on the listener thread.
    void process() override;
    // Closes every connection when the server is closed, then joins and
    // deletes every finished one. Listener thread only.
    void checkConnections();
    // Ends the accept loop; the loop then closes, joins and deletes every
    // connection. Any thread; the caller joins the listener afterwards.
    void stop();

private:
    std::vector<HttpConnection*> connections; // listener thread only; owned, deleted after join
    HttpSocket listenSocket;
    std::atomic<bool> closed{false}; // set by stop(); read by the listener
    int listenPort;
};

#endif
