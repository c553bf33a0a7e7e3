#include "httpshrimp.h"

#include <mutex>

#include "console.h"
#include "contentbuffer.h"
#include "httpconnection.h"
#include "httpresponse.h"
#include "httpsocket.h"

// Worker numbers go on from one transfer and one connection to the next.
static std::atomic<int> shrimpIdGenerator{0};

HttpShrimp::HttpShrimp(HttpConnection* __connection, ContentBuffer* __buffer)
    : shrimpId(shrimpIdGenerator.fetch_add(1)), connection(__connection),
      request(*__connection->getRequest()), response(new HttpResponse), contentBuffer(__buffer) {
    if (__buffer) {
        __buffer->worker.store(this);
        blockPosition = __buffer->dataBegin;
        blockEnd = __buffer->dataEnd;
    }
    // The origin answered the client's request with the whole body, so a
    // Range of the client's own must not narrow what the workers fetch.
    while (request.getMessage().removeHeader("range")) {
    }
    while (request.getMessage().removeHeader("if-range")) {
    }
}

HttpShrimp::~HttpShrimp() {
    delete remoteSocket;
    delete response;
}

void HttpShrimp::kill() {
    dead.store(true);
    std::lock_guard<CppThread> guard(*this);
    if (remoteSocket)
        remoteSocket->shutdown();
}

int HttpShrimp::countForks(uint32_t __blockSize, uint32_t __rest) {
    if (__blockSize == 0)
        return 0;
    uint32_t blocks = __rest / __blockSize + (__rest % __blockSize != 0);
    return blocks < static_cast<uint32_t>(maxForks) ? static_cast<int>(blocks) : maxForks;
}

void HttpShrimp::process() {
    ContentBuffer* block;
    {
        std::lock_guard<CppThread> guard(*this);
        block = contentBuffer;
    }
    bool first = block != nullptr;
    while (!dead.load()) {
        if (!block && !(block = takeBlock()))
            break;
        if (!isStreamAt(blockPosition, blockEnd)) {
            Attempt attempt = establishConnection(block);
            if (attempt != Attempt::established) {
                releaseBlock(block, attempt == Attempt::failed);
                block = nullptr;
                if (attempt == Attempt::refused) {
                    // The origin does not serve this resource by ranges (or
                    // it changed): ask no more; the streams already open
                    // carry the rest.
                    connection->rangesRefused.store(true);
                    break;
                }
                sleepMilliseconds(retryPauseMs);
                continue;
            }
            if (first)
                printLine("shrimp begin at " + std::to_string(blockPosition));
            first = false;
        }
        block = receiveBlock(block);
    }
    if (block)
        releaseBlock(block, false);
    printLine("shrimp " + std::to_string(shrimpId) + " died. Its speed is " +
              std::to_string(calculateSpeed() / 1000) + "kB/s");
    dead.store(true);
    connection->notifyArrival();
}

ContentBuffer* HttpShrimp::takeBlock() {
    HttpConnection& conn = *connection;
    while (!dead.load()) {
        {
            std::lock_guard<CppThread> guard(conn);
            if (dead.load())
                return nullptr;
            ContentBuffer* block = continueStream();
            if (block)
                return block;
            bool wait = false;
            if (!(block = findFreeBlock()) && !(block = cutBlock(wait)) && !wait)
                return nullptr;
            if (block) {
                holdBlock(block);
                return block;
            }
        }
        // The client is behind: wait until it has taken more.
        sleepMilliseconds(HttpConnection::pollMs);
    }
    return nullptr;
}

ContentBuffer* HttpShrimp::cutBlock(bool& __wait) {
    HttpConnection& conn = *connection;
    uint32_t position = conn.currentPosition.load();
    uint32_t rest = conn.contentLength - position;
    uint32_t size = conn.blockSize.load();
    if (size == 0 || size > rest)
        size = rest;
    // Nothing left, or nothing this worker could fetch without a range.
    __wait = false;
    if (rest == 0 || (conn.rangesRefused.load() && !isStreamAt(position, position + size)))
        return nullptr;
    __wait = true;
    if (position + size - conn.sentPosition.load() > HttpConnection::maxBufferedBytes)
        return nullptr;
    ContentBuffer* block = new ContentBuffer(static_cast<int>(size), conn.reuseStorage(size));
    if (!block->buffer) {
        delete block; // no memory now: try again after the pause
        return nullptr;
    }
    block->dataBegin = position;
    block->dataEnd = position + size;
    conn.buffers.push_back(block);
    conn.currentPosition.store(block->dataEnd);
    return block;
}

ContentBuffer* HttpShrimp::findFreeBlock() const {
    for (ContentBuffer* block : connection->buffers) {
        if (block->worker.load() || block->writePos.load() == block->bufferSize)
            continue;
        uint32_t start = block->getFillPosition();
        if (isStreamAt(start, block->dataEnd))
            return block;
        if (block->failures.load() < maxAttempts &&
            (start == 0 || !connection->rangesRefused.load()))
            return block;
    }
    return nullptr;
}

void HttpShrimp::holdBlock(ContentBuffer* __buffer) {
    __buffer->worker.store(this);
    blockPosition = __buffer->getFillPosition();
    blockEnd = __buffer->dataEnd;
    std::lock_guard<CppThread> guard(*this);
    contentBuffer = __buffer;
    blockReceived = false;
}

void HttpShrimp::releaseBlock(ContentBuffer* __buffer, bool __failed) {
    std::lock_guard<CppThread> guard(*this);
    if (contentBuffer != __buffer)
        return; // taken over: the block is no longer this worker's to touch
    contentBuffer = nullptr;
    if (__failed)
        __buffer->failures.fetch_add(1);
    __buffer->worker.store(nullptr, std::memory_order_release);
}

bool HttpShrimp::isStreamAt(uint32_t __position, uint32_t __end) const {
    return streamOpen && streamPosition == __position && __end <= streamEnd;
}

ContentBuffer* HttpShrimp::receiveBlock(ContentBuffer* __buffer) {
    int received = -1;
    if (remoteSocket->waitReadable(HttpConnection::originTimeoutMs.load())) {
        std::lock_guard<CppThread> guard(*this);
        if (contentBuffer != __buffer) {
            // Taken over by a worker that reached it on its own stream, which
            // also shut this stream down.
            streamOpen = false;
            return nullptr;
        }
        int filled = __buffer->writePos.load(std::memory_order_relaxed);
        received = remoteSocket->receive(__buffer->buffer + filled, __buffer->bufferSize - filled);
        if (received > 0)
            __buffer->writePos.store(filled + received, std::memory_order_release);
    }
    if (received <= 0) {
        // The origin closed or failed, or the stream was cut: the block keeps
        // what it holds, and the next worker to take it asks for the rest.
        streamOpen = false;
        releaseBlock(__buffer, !blockReceived);
        connection->notifyArrival();
        return nullptr;
    }
    connection->notifyArrival();
    blockReceived = true;
    transferedBytes += static_cast<uint32_t>(received);
    streamPosition += static_cast<uint32_t>(received);
    blockPosition += static_cast<uint32_t>(received);
    if (blockPosition < blockEnd)
        return __buffer;
    return finishBlock(__buffer);
}

ContentBuffer* HttpShrimp::finishBlock(ContentBuffer* __buffer) {
    HttpConnection& conn = *connection;
    bool firstBlock = __buffer->dataBegin == 0;
    uint32_t forkSize = 0;
    if (firstBlock) {
        // Eight seconds' worth of data at the speed of the first block.
        uint32_t newSize = 8 * calculateSpeed();
        printLine("updateBlockSize " + std::to_string(newSize));
        conn.updateBlockSize(newSize);
        forkSize = HttpConnection::boundBlockSize(newSize);
    }

    // Releasing and looking for the successor in one hold of the lock: the
    // connection thread cannot free the block in between, so the search
    // cannot meet a new block that took over its storage.
    std::lock_guard<CppThread> guard(conn);
    releaseBlock(__buffer, false);
    if (dead.load())
        return nullptr;
    if (firstBlock && !conn.rangesRefused.load()) {
        int forks = countForks(forkSize, conn.contentLength - conn.currentPosition.load());
        for (int i = 0; i < forks; ++i)
            fork();
    }
    return continueStream();
}

ContentBuffer* HttpShrimp::continueStream() {
    if (!streamOpen)
        return nullptr;
    for (ContentBuffer* next : connection->buffers) {
        if (next->dataBegin != streamPosition)
            continue;
        if (!isStreamAt(next->dataBegin, next->dataEnd) || !takeOver(next))
            return nullptr;
        printLine("Shrimp " + std::to_string(shrimpId) + " occupied at " +
                  std::to_string(next->dataBegin));
        return next;
    }
    return nullptr;
}

bool HttpShrimp::takeOver(ContentBuffer* __buffer) {
    HttpShrimp* other = __buffer->worker.load();
    if (other) {
        // Under the other worker's lock its receives into the block are
        // settled: either something has arrived (no take-over), or it never
        // writes into the block again.
        std::lock_guard<CppThread> guard(*other);
        if (__buffer->writePos.load() != 0)
            return false;
        if (other->contentBuffer == __buffer) {
            other->contentBuffer = nullptr;
            if (other->remoteSocket)
                other->remoteSocket->shutdown();
        }
    } else if (__buffer->writePos.load() != 0) {
        return false;
    }
    holdBlock(__buffer);
    return true;
}

void HttpShrimp::fork() {
    HttpShrimp* shrimp = new HttpShrimp(connection, nullptr);
    connection->shrimps.push_back(shrimp);
    shrimp->startThread();
}

HttpShrimp::Attempt HttpShrimp::establishConnection(ContentBuffer* __buffer) {
    HttpSocket* sock = new HttpSocket;
    {
        std::lock_guard<CppThread> guard(*this);
        if (remoteSocket)
            remoteSocket->shutdown();
        delete remoteSocket;
        remoteSocket = sock;
        // Killed, or the block was taken over while this worker waited.
        if (dead.load() || contentBuffer != __buffer)
            return Attempt::failed;
    }
    streamOpen = false;
    if (!sock->connect(request.getHost(), request.getPort())) {
        // Not when the connect was cut short by a take-over or kill().
        if (sock->getSocketHandle() >= 0)
            printLine("failed to connect to " + request.getHost() + ":" +
                      std::to_string(request.getPort()));
        return Attempt::failed;
    }
    sock->setTimeout(HttpConnection::originTimeoutMs.load());

    uint32_t start = blockPosition;
    if (start == 0)
        request.getMessage().removeHeader("range");
    else
        request.getMessage().setHeader("Range", "bytes=" + std::to_string(start) + "-");
    if (!request.sendHead(sock) || !response->parseResponse(sock))
        return Attempt::failed;
    if (!isAcceptable(start))
        return Attempt::refused;

    startTime = getTickCount();
    transferedBytes = 0;
    streamPosition = start;
    streamEnd = start + static_cast<uint32_t>(response->getContentLength());
    streamOpen = true;
    return Attempt::established;
}

// The client already has the first response's head, so every byte sent after
// it must belong to that body: an answer is taken only when it describes the
// same resource (same ETag and Last-Modified, where the first response had
// them) and carries its bytes from __start on.
bool HttpShrimp::isAcceptable(uint32_t __start) const {
    const HttpConnection& conn = *connection;
    const HttpMessage& head = response->getMessage();
    if (!response->hasContentLength() ||
        (!conn.entityTag.empty() && head.getHeader("etag") != conn.entityTag) ||
        (!conn.lastModified.empty() && head.getHeader("last-modified") != conn.lastModified))
        return false;
    uint64_t length = response->getContentLength();
    if (__start == 0)
        return response->getStatus() == "200" && length == conn.contentLength;
    // A "200" here means that the origin ignored "Range".
    uint64_t first, last, complete;
    return response->getStatus() == "206" && response->findContentRange(first, last, complete) &&
           first == __start && last - first + 1 == length && last < conn.contentLength &&
           (complete == UINT64_MAX || complete == conn.contentLength) &&
           __start + length >= blockEnd;
}

uint32_t HttpShrimp::calculateSpeed() const {
    uint32_t elapsed = getTickCount() - startTime;
    if (elapsed == 0)
        return 0;
    double speed = static_cast<double>(transferedBytes) / elapsed * 1000;
    return speed >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(speed);
}
