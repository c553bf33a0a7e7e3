#include "httpserver.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "httpconnection.h"

HttpServer::HttpServer(int __port) : listenPort(__port) {}

HttpServer::~HttpServer() = default;

bool HttpServer::openListener(std::string& __error) {
    if (!listenSocket.bind(listenPort) || !listenSocket.listen()) {
        __error = std::strerror(errno);
        return false;
    }
    return true;
}

void HttpServer::process() {
    while (!closed.load()) {
        HttpSocket* sock = listenSocket.accept();
        if (!sock) {
            if (!closed.load())
                usleep(acceptRetryMs * 1000);
            continue;
        }
        HttpConnection* conn = new HttpConnection(sock);
        conn->startThread();
        connections.push_back(conn);
        checkConnections();
    }
    checkConnections();
}

void HttpServer::checkConnections() {
    bool closing = closed.load();
    if (closing)
        for (HttpConnection* conn : connections)
            conn->close();
    for (auto it = connections.begin(); it != connections.end();) {
        HttpConnection* conn = *it;
        if (closing || conn->isClosed()) {
            conn->joinThread();
            delete conn;
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void HttpServer::stop() {
    closed.store(true);
    listenSocket.shutdown();
}
