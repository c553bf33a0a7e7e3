// HttpShrimp: a range worker of an accelerated transfer. It fetches blocks of
// the body over an origin connection of its own: for a block that does not
// begin at the start of the body it sends the client's request again with
// "Range: bytes=N-", and it reads only as far as its block reaches. When the
// block is full it goes on reading the same open stream into the next block
// if nothing of that block has arrived yet (the take-over), or else looks for
// a free block, cutting a new one when none is left.
//
// The worker that completes the first block measures its speed, sets the
// block size from it and starts the further workers. Workers end when nothing
// is left to fetch, when the origin refuses their range answers, or when the
// connection thread kills them at the end of the transfer.
//
// Locks: the connection's lock guards the block chain and every choice of a
// block; a worker's own lock guards its socket pointer and its hold on its
// block (contentBuffer), which a worker that takes the block over clears.
// Bytes are received into a block only under the worker's own lock and only
// while it still holds the block, so a displaced worker never writes into a
// block again. When both locks are taken, the connection's comes first.
#ifndef SHOAL_HTTPSHRIMP_H
#define SHOAL_HTTPSHRIMP_H

#include <atomic>
#include <cstdint>

#include "cppthread.h"
#include "httprequest.h"

class HttpConnection;
class HttpResponse;
class HttpSocket;
struct ContentBuffer;

class HttpShrimp : public CppThread {
public:
    // A block whose attempts have brought nothing this many times is not
    // tried again on a new connection.
    static constexpr int maxAttempts = 5;
    // The pause after a failed attempt.
    static constexpr int retryPauseMs = 100;
    // At most this many workers are started besides the first.
    static constexpr int maxForks = 7;

    // A worker for __connection's transfer; with __buffer, the worker that
    // fills that block first (it becomes the block's worker). Does not start
    // the thread.
    HttpShrimp(HttpConnection* __connection, ContentBuffer* __buffer);
    ~HttpShrimp() override;

    void process() override;
    // Tells the worker to end and cuts its origin connection, so that a
    // blocked receive returns. The connection thread calls it holding the
    // connection's lock.
    void kill();
    int getShrimpId() const { return shrimpId; }
    // True once the worker has been killed or has left its loop. Any thread.
    bool isDead() const { return dead.load(); }

    // How many workers the completer of the first block starts: one for each
    // further block of __blockSize that the __rest of the body needs, at most
    // maxForks.
    static int countForks(uint32_t __blockSize, uint32_t __rest);

private:
    enum class Attempt { established, failed, refused };

    // Opens a new origin connection for the block __buffer, asking for the
    // body from the block's first missing byte on, and reads and checks the
    // answer.
    Attempt establishConnection(ContentBuffer* __buffer);
    // True when the answer just read carries the body of the transfer's
    // resource from __start on, far enough to fill the block held.
    bool isAcceptable(uint32_t __start) const;
    // Bytes per second on the current origin connection since it was made.
    uint32_t calculateSpeed() const;
    // Creates, registers and starts one more worker. Connection's lock held.
    void fork();

    // A pass without a block: goes on with the open stream, or takes a free
    // block, or cuts a new one, waiting
    // while the blocks not yet sent to the client fill the memory bound.
    // Null when nothing is left for this worker to fetch.
    ContentBuffer* takeBlock();
    // A free block this worker may fill, or null. Connection's lock held.
    ContentBuffer* findFreeBlock() const;
    // Cuts a new block at the cut position and appends it to the chain.
    // Null when there is none to cut now: __wait tells whether there may be
    // one later (the memory bound is reached) or never (nothing is left).
    // Connection's lock held.
    ContentBuffer* cutBlock(bool& __wait);
    // A pass with a block: one receive into it. The block to go on with: the
    // same one, its successor after a take-over, or null.
    ContentBuffer* receiveBlock(ContentBuffer* __buffer);
    // The block is full: releases it, starts the further workers after the
    // first block, and takes the next block over when the open stream can
    // fill it. The block to go on with, or null.
    ContentBuffer* finishBlock(ContentBuffer* __buffer);
    // Takes over the block that begins where the open stream stands, if
    // nothing of it has arrived yet: the stream fills it without a new
    // request. The block, or null. Connection's lock held.
    ContentBuffer* continueStream();
    // Makes __buffer this worker's block, displacing its worker, if nothing
    // of it has arrived. Connection's lock held.
    bool takeOver(ContentBuffer* __buffer);
    // Lets __buffer go, if this worker still holds it; __failed counts an
    // attempt that brought nothing.
    void releaseBlock(ContentBuffer* __buffer, bool __failed);
    // Makes __buffer this worker's block. Connection's lock held.
    void holdBlock(ContentBuffer* __buffer);
    // True when the open stream is positioned at __position and reaches at
    // least to __end, so that it can fill a block without a new request.
    bool isStreamAt(uint32_t __position, uint32_t __end) const;

    const int shrimpId;
    HttpConnection* const connection; // not owned: the connection whose transfer this serves
    // The client's request, copied from the connection when the worker is
    // made; this worker's own Range field goes into the copy, so no other
    // thread ever edits a request that this one sends.
    HttpRequest request;
    HttpResponse* response;             // owned: the answer of the current origin connection
    HttpSocket* remoteSocket = nullptr; // owned; replaced by this thread under lock(); other
                                        // threads shut it down under lock()
    ContentBuffer* contentBuffer;       // not owned: the block this worker holds, or null;
                                        // guarded by lock(), cleared by a worker taking it over
    std::atomic<bool> dead{false};      // set by kill() (connection thread) or by this thread

    // This thread only: the measure of the current origin connection and the
    // body positions of its next byte and of its end.
    uint32_t startTime = 0;
    uint32_t transferedBytes = 0;
    uint32_t streamPosition = 0;
    uint32_t streamEnd = 0;
    bool streamOpen = false;
    // This thread only: where the block held is to be filled next, and its
    // end. Kept here because the block itself may be taken over, filled,
    // sent and freed by others as soon as this worker no longer holds it.
    uint32_t blockPosition = 0;
    uint32_t blockEnd = 0;
    bool blockReceived = false; // the stream has brought bytes into the block held
};

#endif
