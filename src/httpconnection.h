// HttpConnection: one client connection of the proxy. Its loop runs on its own
// thread, started by the listener: it reads the client's requests one after
// another, opens or reuses a connection to the origin each names, forwards
// the request, relays the response head and body back, and goes on while
// neither side asks to close. A CONNECT request becomes a tunnel instead.
#ifndef SHOAL_HTTPCONNECTION_H
#define SHOAL_HTTPCONNECTION_H

#include <atomic>
#include <string>

#include "cppthread.h"

class HttpSocket;
class HttpRequest;
class HttpResponse;

class HttpConnection : public CppThread {
public:
    // How long an origin may stay silent while a response is awaited, and how
    // long a client may stay idle between requests. Tests shorten them.
    static std::atomic<int> originTimeoutMs;
    static std::atomic<int> clientIdleMs;
    static constexpr int bufferSize = 8192;

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

private:
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

    HttpSocket* clientSocket;           // owned; deleted at the end of process()
    HttpSocket* remoteSocket = nullptr; // owned; replaced by this thread under lock(), which
                                        // close() holds while it reads the pointer
    HttpRequest* request;               // owned; reused for every request
    HttpResponse* response;             // owned; reused for every response
    std::atomic<bool> closed{false};    // written once, last, by this thread; read by the listener
};

#endif
