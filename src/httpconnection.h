// HttpConnection: one client connection of the proxy. Its loop runs on its own
// thread, started by the listener: it reads the client's requests one after
// another, opens or reuses a connection to the origin each names, forwards
// the request, relays the response head and body back, and goes on while
// neither side asks to close. A CONNECT request becomes a tunnel instead.
//
// A large media-like GET is accelerated: the connection thread drops the
// origin connection on which the head arrived and has range workers
// (HttpShrimp) fetch the body again in blocks over parallel connections,
// while it sends the blocks to the client strictly in body order. The
// connection's lock guards the block chain, the cut position and every choice
// of a block by a worker.
#ifndef SHOAL_HTTPCONNECTION_H
#define SHOAL_HTTPCONNECTION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cppthread.h"

class HttpSocket;
class HttpRequest;
class HttpResponse;
class HttpShrimp;
struct ContentBuffer;

class HttpConnection : public CppThread {
public:
    // How long an origin may stay silent while a response is awaited, and how
    // long a client may stay idle between requests. Tests shorten them.
    static std::atomic<int> originTimeoutMs;
    static std::atomic<int> clientIdleMs;
    static constexpr int bufferSize = 8192;
    // A body must be longer than minBlockSize to be accelerated, and its
    // first block has that size; later blocks are kept within
    // [minBlockSize, maxBlockSize].
    static constexpr uint32_t minBlockSize = 65536;
    static constexpr uint32_t maxBlockSize = 4 * 1024 * 1024;
    // No block is cut that would end further than this past the first byte
    // not yet sent to the client, so a slow client bounds the memory in use.
    static constexpr uint32_t maxBufferedBytes = 64 * 1024 * 1024;
    // The connection thread looks for new bytes of its block this often, and
    // at once when a worker tells it that bytes have arrived.
    static constexpr int pollMs = 10;
    // Storage of this many sent blocks is kept for the blocks cut next, so
    // that their pages need not be mapped and cleared again.
    static constexpr size_t maxSpareBlocks = 2;
    // An accelerated transfer whose current block brings no new byte for
    // this long ends. Tests shorten it.
    static std::atomic<int> blockWaitMs;

    // Takes ownership of the accepted client socket. Starts nothing.
    explicit HttpConnection(HttpSocket* __sock);
    ~HttpConnection() override;

    // The request/response loop; ends by closing both sockets and setting
    // closed.
    void process() override;
    // Shuts both sockets down, so that the loop's next socket call fails and
    // it ends by itself. Safe to call from another thread (the listener).
    void close();
    // True once process() has done its last step. Any thread.
    bool isClosed() const { return closed.load(); }
    HttpRequest* getRequest() { return request; }
    HttpResponse* getResponse() { return response; }

    // Copies bytes both ways between client and origin until either side
    // closes or fails. No idle limit.
    void doCONNECT();

    // Sets the size of the blocks that workers cut from a measured size of
    // __size bytes (see boundBlockSize), cut to the rest of the body.
    void updateBlockSize(uint32_t __size);
    // __size kept within [minBlockSize, maxBlockSize]; 0, a first block that
    // came faster than the clock can tell, gives maxBlockSize.
    static uint32_t boundBlockSize(uint32_t __size);

private:
    friend class HttpShrimp; // works on the chain and the cut position

    // One exchange: reads a request, forwards it, relays the response. True
    // when the connection carries another request afterwards. __host and
    // __port name the origin that remoteSocket is connected to.
    bool exchange(std::string& __host, int& __port);
    // Replaces remoteSocket by a new connection to the request's origin. False
    // when it cannot be made, or when it leads back to the proxy itself.
    bool connectOrigin();
    // Sends the request head and body to the origin and reads the final
    // response head. __reused tells that the origin connection carried an
    // earlier exchange. __answeredEarly is set when the origin gave its final
    // answer before the client sent its body: the connection must end after
    // that answer. False when the exchange cannot go on.
    bool forwardRequest(bool __reused, bool& __answeredEarly);
    // Reads one response head from the origin.
    bool parseResponse();
    // Reads the final response head: interim 1xx heads are passed on to the
    // client, and a reused origin connection that the origin closed while
    // idle is replaced once for a request without a body. False when no
    // final head could be read.
    bool readResponse(bool __reused);
    // Waits until the client's body or the origin's answer arrives. True when
    // the origin has spoken and the client has not.
    bool isOriginFirst();
    // Relays the response body by the relay its head calls for. True when the
    // whole body reached the client.
    bool relayBody();
    // The plain relay: the declared length, or up to the origin's close.
    bool transferData();
    // The chunked relay: passes the chunk data on without the framing.
    bool transferTrunkedData();
    // True when the response body is to be fetched by acceleration.
    bool isSpeedable() const;
    // The accelerated transfer. True when the whole body reached the client.
    bool transferDataSpeeded();
    // Sends what has arrived of __buffer to the client. False when the
    // client did not take it.
    bool sendBlock(ContentBuffer* __buffer);
    // True when every worker of the transfer has ended. Takes the lock.
    bool isEveryShrimpDead();
    // Kills, joins and deletes every worker, frees every block.
    void endTransfer();
    // Frees a sent block, keeping its storage for a later block of the same
    // size when fewer than maxSpareBlocks are kept. Under lock().
    void recycleBlock(ContentBuffer* __block);
    // Kept storage of __size bytes, now the caller's, or null. Under lock().
    char* reuseStorage(int __size);
    // Wakes the connection thread: bytes have arrived, or a worker ended.
    // Any worker.
    void notifyArrival();

    HttpSocket* clientSocket;           // owned; deleted at the end of process()
    HttpSocket* remoteSocket = nullptr; // owned; replaced by this thread under lock(), which
                                        // close() holds while it reads the pointer
    HttpRequest* request;               // owned; reused for every request
    HttpResponse* response;             // owned; reused for every response
    std::atomic<bool> closed{false};    // written once, last, by this thread; read by the listener

    // The accelerated transfer under way. The lists are appended to under
    // lock() (workers fork and cut blocks); only this thread removes from
    // them or frees their elements, which it owns.
    std::vector<HttpShrimp*> shrimps;
    std::deque<ContentBuffer*> buffers;
    std::atomic<uint32_t> blockSize{minBlockSize}; // written by updateBlockSize, any worker
    std::atomic<uint32_t> currentPosition{0};      // where the next block is cut; under lock()
    std::atomic<uint32_t> sentPosition{0};  // body bytes sent to the client; this thread writes
    std::atomic<bool> rangesRefused{false}; // an answer to a range request was refused
    // Mappings of sent blocks with their sizes; owned. Under lock().
    std::vector<std::pair<char*, int>> spareStorage;
    // Counts arrivals; workers add to it and notify, the connection thread
    // waits on it for at most pollMs. arrivalMutex guards only the wait.
    std::atomic<uint32_t> arrivals{0};
    std::mutex arrivalMutex;
    std::condition_variable arrival;
    // Set by this thread before the first worker starts, then read-only:
    uint32_t startTime = 0;
    uint32_t contentLength = 0;
    std::string entityTag;    // the first response's ETag, "" when it had none
    std::string lastModified; // its Last-Modified, "" when it had none
};

#endif
