#include "httpconnection.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>

#include "bodyrelay.h"
#include "console.h"
#include "contentbuffer.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpshrimp.h"
#include "httpsocket.h"

std::atomic<int> HttpConnection::originTimeoutMs{300 * 1000};
std::atomic<int> HttpConnection::clientIdleMs{120 * 1000};
std::atomic<int> HttpConnection::blockWaitMs{30 * 1000};

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
    // Bytes read ahead with a head have arrived, though no wait sees them.
    if (clientSocket->getBufferedBytes() > 0)
        return false;
    if (remoteSocket->getBufferedBytes() > 0)
        return true;
    pollfd ready[2] = {{clientSocket->getSocketHandle(), POLLIN, 0},
                       {remoteSocket->getSocketHandle(), POLLIN, 0}};
    int count;
    do {
        count = poll(ready, 2, originTimeoutMs.load());
    } while (count < 0 && errno == EINTR);
    return count > 0 && ready[1].revents != 0 && ready[0].revents == 0;
}

bool HttpConnection::connectOrigin() {
    // In place before the connect begins, so that close() ends the wait.
    HttpSocket* sock = new HttpSocket;
    {
        std::lock_guard<CppThread> guard(*this);
        delete remoteSocket;
        remoteSocket = sock;
        // close() came first: no new origin connection for a closed client.
        if (clientSocket->getSocketHandle() < 0)
            return false;
    }
    // A request for the proxy's own port on this machine would make it
    // connect to itself again and again: such a request ends the connection.
    bool connected = sock->connect(request->getHost(), request->getPort()) &&
                     !sock->leadsToLocalPort(clientSocket->getLocalPort());
    if (connected)
        sock->setTimeout(originTimeoutMs.load());
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
    if (isSpeedable())
        return transferDataSpeeded();
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

bool HttpConnection::isSpeedable() const {
    static const char* const accept_types[] = {"video", "media", "image", "application", "audio"};
    // Only a body of known length can be cut into blocks, and block positions
    // are 32-bit.
    if (request->getCommand() != "GET" || request->hasBody() || response->getStatus() != "200" ||
        !response->hasContentLength() || response->getContentLength() <= minBlockSize ||
        response->getContentLength() > UINT32_MAX)
        return false;
    const HttpMessage& head = response->getMessage();
    std::string ranges = head.getHeader("accept-ranges");
    size_t pos = 0;
    if (HttpMessage::isSameName(HttpMessage::nextWord(ranges, pos), "none"))
        return false;
    std::string type = head.getHeader("content-type");
    for (const char* accepted : accept_types)
        if (type.find(accepted) != std::string::npos)
            return true;
    return false;
}

uint32_t HttpConnection::boundBlockSize(uint32_t __size) {
    if (__size == 0 || __size > maxBlockSize)
        return maxBlockSize;
    return __size < minBlockSize ? minBlockSize : __size;
}

void HttpConnection::updateBlockSize(uint32_t __size) {
    uint32_t size = boundBlockSize(__size);
    uint32_t rest = contentLength - currentPosition.load();
    blockSize.store(size > rest ? rest : size);
}

bool HttpConnection::transferDataSpeeded() {
    ContentBuffer* current = new ContentBuffer(static_cast<int>(minBlockSize));
    if (!current->buffer) {
        delete current;
        return transferData();
    }
    printLine("transferDataSpeeded()");
    contentLength = static_cast<uint32_t>(response->getContentLength());
    startTime = getTickCount();
    entityTag = response->getMessage().getHeader("etag");
    lastModified = response->getMessage().getHeader("last-modified");
    sentPosition.store(0);
    rangesRefused.store(false);
    // What is still on its way on this connection is abandoned; the next
    // request to this origin reconnects.
    remoteSocket->shutdown();

    blockSize.store(minBlockSize);
    current->dataBegin = 0;
    current->dataEnd = minBlockSize;
    buffers.push_back(current);
    currentPosition.store(current->dataEnd);
    HttpShrimp* first = new HttpShrimp(this, current);
    shrimps.push_back(first);
    first->startThread();

    uint32_t lastByteTime = startTime;
    for (;;) {
        uint32_t arrivalsSeen = arrivals.load();
        // Seen before the block is drained: when every worker had ended by
        // then, whatever they received is drained below, and a block still
        // unfinished after that never will be.
        bool deadEnd = isEveryShrimpDead();
        if (!current) {
            // Under the lock, since workers cut blocks under it: an empty
            // chain with nothing left to cut means that all has been sent.
            std::lock_guard<CppThread> guard(*this);
            if (!buffers.empty())
                current = buffers.front();
            else if (currentPosition.load() == contentLength)
                break;
        }
        if (current) {
            int sent = current->readPos;
            if (!sendBlock(current))
                break;
            if (current->readPos != sent)
                lastByteTime = getTickCount();
            if (current->readPos == current->bufferSize && !current->worker.load()) {
                printLine("Buffering %" +
                          std::to_string(uint64_t{current->dataEnd} * 100 / contentLength) + "[" +
                          std::to_string(current->dataEnd) + "/" + std::to_string(contentLength) +
                          "]");
                std::lock_guard<CppThread> guard(*this);
                recycleBlock(current);
                buffers.pop_front();
                current = buffers.empty() ? nullptr : buffers.front();
                continue;
            }
        }
        // The block can no longer be filled when its attempts are used up,
        // since no stream reaches it any more.
        bool givenUp = current && !current->worker.load() &&
                       current->failures.load() >= HttpShrimp::maxAttempts;
        if (deadEnd || givenUp ||
            getTickCount() - lastByteTime >= static_cast<uint32_t>(blockWaitMs.load()) ||
            clientSocket->getSocketHandle() < 0)
            break;
        std::unique_lock<std::mutex> waiting(arrivalMutex);
        arrival.wait_for(waiting, std::chrono::milliseconds(pollMs),
                         [&] { return arrivals.load() != arrivalsSeen; });
    }
    bool complete = !current && buffers.empty() && currentPosition.load() == contentLength;

    uint32_t seconds = (getTickCount() - startTime) / 1000;
    if (seconds != 0)
        printLine("Transfer completed, avarage speed: " +
                  std::to_string(contentLength / 1000 / seconds) + "kB/s");
    endTransfer();
    return complete;
}

bool HttpConnection::sendBlock(ContentBuffer* __buffer) {
    for (;;) {
        int filled = __buffer->writePos.load(std::memory_order_acquire);
        if (__buffer->readPos >= filled)
            return true;
        int size = filled - __buffer->readPos;
        if (size > bufferSize)
            size = bufferSize;
        // A piece with more of the block behind it goes out with the next.
        bool more = __buffer->readPos + size < filled;
        if (clientSocket->send(__buffer->buffer + __buffer->readPos, size, more) != size)
            return false;
        __buffer->readPos += size;
        sentPosition.store(__buffer->dataBegin + static_cast<uint32_t>(__buffer->readPos));
    }
}

bool HttpConnection::isEveryShrimpDead() {
    std::lock_guard<CppThread> guard(*this);
    for (HttpShrimp* shrimp : shrimps)
        if (!shrimp->isDead())
            return false;
    return true;
}

void HttpConnection::endTransfer() {
    {
        std::lock_guard<CppThread> guard(*this);
        for (HttpShrimp* shrimp : shrimps)
            shrimp->kill();
    }
    // Joined without the lock: a worker may need it to finish its pass.
    for (HttpShrimp* shrimp : shrimps) {
        shrimp->joinThread();
        delete shrimp;
    }
    for (ContentBuffer* block : buffers)
        delete block;
    for (const std::pair<char*, int>& spare : spareStorage)
        ContentBuffer::unmapStorage(spare.first, spare.second);
    shrimps.clear();
    buffers.clear();
    spareStorage.clear();
}

void HttpConnection::recycleBlock(ContentBuffer* __block) {
    if (spareStorage.size() < maxSpareBlocks && __block->buffer)
        spareStorage.emplace_back(__block->takeStorage(), __block->bufferSize);
    delete __block;
}

char* HttpConnection::reuseStorage(int __size) {
    for (auto it = spareStorage.begin(); it != spareStorage.end(); ++it)
        if (it->second == __size) {
            char* storage = it->first;
            spareStorage.erase(it);
            return storage;
        }
    return nullptr;
}

void HttpConnection::notifyArrival() {
    arrivals.fetch_add(1);
    // Taken and given back, so that a connection thread between its check
    // and its wait is already waiting when the notice comes.
    { std::lock_guard<std::mutex> guard(arrivalMutex); }
    arrival.notify_one();
}

namespace {

// Moves one piece of at most bufferSize bytes. False when the source closed
// or failed, or the destination did not take the whole piece.
bool forwardPiece(HttpSocket* __from, HttpSocket* __to, char* __buffer) {
    int size = __from->receive(__buffer, HttpConnection::bufferSize);
    // Waits for the next piece only when that has arrived already.
    return size > 0 && __to->send(__buffer, size, __from->hasPendingBytes()) == size;
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
        // Bytes a socket has read ahead (sent right behind the CONNECT head,
        // say) are not seen by poll: they go on first, without waiting.
        bool clientAhead = clientSocket->getBufferedBytes() > 0;
        bool remoteAhead = remoteSocket->getBufferedBytes() > 0;
        fdreads[0].revents = fdreads[1].revents = 0;
        int ret = poll(fdreads, 2, clientAhead || remoteAhead ? 0 : -1);
        if (ret < 0 && errno == EINTR)
            continue;
        if (ret < 0 || (ret == 0 && !clientAhead && !remoteAhead))
            return;
        if ((clientAhead || fdreads[0].revents) &&
            !forwardPiece(clientSocket, remoteSocket, buffer.get()))
            return;
        if ((remoteAhead || fdreads[1].revents) &&
            !forwardPiece(remoteSocket, clientSocket, buffer.get()))
            return;
    }
}
