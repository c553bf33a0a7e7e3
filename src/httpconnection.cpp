#include "httpconnection.h"

#include <poll.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

#include "bodyrelay.h"
#include "console.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsocket.h"

std::atomic<int> HttpConnection::originTimeoutMs{300 * 1000};
std::atomic<int> HttpConnection::clientIdleMs{120 * 1000};

HttpConnection::HttpConnection(HttpSocket* __sock)
    : clientSocket(__sock), request(new HttpRequest), response(new HttpResponse) {}

HttpConnection::~HttpConnection() {
    delete request;
    delete response;
    delete clientSocket;
    delete remoteSocket;
}

void HttpConnection::process() {
    std::string host;
    int port = 0;
    clientSocket->setTimeout(clientIdleMs.load());
    while (exchange(host, port)) {
    }
    {
        std::lock_guard<CppThread> guard(*this);
        clientSocket->shutdown();
        if (remoteSocket)
            remoteSocket->shutdown();
        delete clientSocket;
        delete remoteSocket;
        clientSocket = remoteSocket = nullptr;
    }
    closed.store(true);
}

void HttpConnection::close() {
    std::lock_guard<CppThread> guard(*this);
    if (clientSocket)
        clientSocket->shutdown();
    if (remoteSocket)
        remoteSocket->shutdown();
}

bool HttpConnection::exchange(std::string& __host, int& __port) {
    if (!request->parseRequest(clientSocket))
        return false;
    printLine(request->getCommand() + " " + request->getPath() + " " + request->getHost());

    bool reused = remoteSocket && request->getHost() == __host && request->getPort() == __port;
    if (!reused) {
        __host = request->getHost();
        __port = request->getPort();
        if (!connectOrigin())
            return false;
    }

    if (request->getCommand() == "CONNECT") {
        clientSocket->send("HTTP/1.1 200 Established\r\n");
        doCONNECT();
        return false;
    }

    bool answeredEarly = false;
    if (!forwardRequest(reused, answeredEarly) || !response->sendResponse(clientSocket))
        return false;
    // A body that ended early closes the client connection, so that the client
    // sees the truncation, and the origin connection is not used again.
    if (!relayBody())
        return false;
    return !answeredEarly && !response->wouldClose() && !request->wouldClose();
}

bool HttpConnection::forwardRequest(bool __reused, bool& __answeredEarly) {
    if (!request->sendHead(remoteSocket)) {
        // The origin connection failed since the last exchange: once more on a
        // new one.
        if (!connectOrigin() || !request->sendHead(remoteSocket))
            return false;
        __reused = false;
    }
    // A client that sent "Expect: 100-continue" holds its body back until the
    // origin's interim answer arrives (or for a second): pass that answer on
    // at once. An origin that gives its final answer instead never gets the
    // body, which then stays unread on the client connection.
    __answeredEarly = false;
    if (request->isExpectingContinue() && isOriginFirst()) {
        if (!parseResponse())
            return false;
        if (!response->isInterim()) {
            __answeredEarly = true;
            return true;
        }
        if (!response->sendResponse(clientSocket))
            return false;
    }
    return request->sendBody(remoteSocket) && readResponse(__reused);
}

bool HttpConnection::isOriginFirst() {
    pollfd ready[2] = {{clientSocket->getSocketHandle(), POLLIN, 0},
                       {remoteSocket->getSocketHandle(), POLLIN, 0}};
    int count;
    do {
        count = poll(ready, 2, originTimeoutMs.load());
    } while (count < 0 && errno == EINTR);
    return count > 0 && ready[1].revents != 0 && ready[0].revents == 0;
}

bool HttpConnection::connectOrigin() {
    HttpSocket* sock = new HttpSocket;
    // A request for the proxy's own port on this machine would make it
    // connect to itself again and again: such a request ends the connection.
    bool connected = sock->connect(request->getHost(), request->getPort()) &&
                     !sock->leadsToLocalPort(clientSocket->getLocalPort());
    if (connected)
        sock->setTimeout(originTimeoutMs.load());
    std::lock_guard<CppThread> guard(*this);
    delete remoteSocket;
    remoteSocket = sock;
    return connected;
}

bool HttpConnection::parseResponse() {
    return response->parseResponse(remoteSocket, request->getCommand() == "HEAD");
}

bool HttpConnection::readResponse(bool __reused) {
    uint64_t before = remoteSocket->getReceivedBytes();
    bool parsed = parseResponse();
    if (!parsed && __reused && !request->hasBody() && remoteSocket->getReceivedBytes() == before) {
        // Not a byte on a kept-alive connection: the origin closed it while it
        // was idle. Send the request again on a new one.
        if (!connectOrigin() || !request->sendHead(remoteSocket))
            return false;
        parsed = parseResponse();
    }
    while (parsed && response->isInterim()) {
        if (!response->sendResponse(clientSocket))
            return false;
        parsed = parseResponse();
    }
    return parsed;
}

bool HttpConnection::relayBody() {
    if (!response->hasBody())
        return true;
    if (response->isChunked())
        return transferTrunkedData();
    return transferData();
}

bool HttpConnection::transferData() {
    if (response->hasContentLength())
        return BodyRelay::copyLength(remoteSocket, clientSocket, response->getContentLength());
    return BodyRelay::copyUntilClose(remoteSocket, clientSocket);
}

bool HttpConnection::transferTrunkedData() {
    return BodyRelay::copyChunked(remoteSocket, clientSocket, false);
}

namespace {

// Moves one piece of at most bufferSize bytes. False when the source closed
// or failed, or the destination did not take the whole piece.
bool forwardPiece(HttpSocket* __from, HttpSocket* __to, char* __buffer) {
    int size = __from->receive(__buffer, HttpConnection::bufferSize);
    return size > 0 && __to->send(__buffer, size) == size;
}

} // namespace

void HttpConnection::doCONNECT() {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[bufferSize]);
    int sock1 = clientSocket->getSocketHandle();
    int sock2 = remoteSocket->getSocketHandle();
    if (!buffer || sock1 < 0 || sock2 < 0)
        return;
    // poll rather than select: handles above FD_SETSIZE are common with many
    // clients, and select cannot take them.
    pollfd fdreads[2] = {{sock1, POLLIN, 0}, {sock2, POLLIN, 0}};
    while (!closed.load()) {
        fdreads[0].revents = fdreads[1].revents = 0;
        int ret = poll(fdreads, 2, -1);
        if (ret < 0 && errno == EINTR)
            continue;
        if (ret <= 0)
            return;
        if (fdreads[0].revents && !forwardPiece(clientSocket, remoteSocket, buffer.get()))
            return;
        if (fdreads[1].revents && !forwardPiece(remoteSocket, clientSocket, buffer.get()))
            return;
    }
}
