// HttpRequest: a client's request head as the proxy understands it (command,
// origin host, port and path, version, header fields and body framing), read
// from the client socket, rewritten for the origin and written to it together
// with its body. One object serves every request of a client connection.
// Not safe for concurrent use: callers serialise every call on one object.
#ifndef SHOAL_HTTPREQUEST_H
#define SHOAL_HTTPREQUEST_H

#include <cstdint>
#include <string>

#include "httpmessage.h"

class HttpSocket;

class HttpRequest {
public:
    static constexpr int defaultPort = 80;

    // Reads the next request head from __sock, skipping empty lines before the
    // request line, and rewrites it: "proxy-connection" is removed and
    // "Connection" set to "close" or "keep-alive"; the Content-Length of a
    // chunked body is dropped. False when the client closed or failed before
    // a whole request line or before the empty line that ends the head, when
    // the head breaks the limits of HttpMessage,
    // or when its body framing cannot be trusted (a Transfer-Encoding that is
    // not chunked, a Content-Length that is not a plain number, two that
    // disagree): the connection must then end, since the body's end is unknown.
    bool parseRequest(HttpSocket* __sock);
    // Sends the head, then the body read from the client socket. True only
    // when everything was sent.
    bool sendRequest(HttpSocket* __sock);
    // Sends the head alone: request line with the path, fields, empty line.
    // False when it cannot be sent; nothing of the body has been read then.
    bool sendHead(HttpSocket* __sock);
    // Relays the body from the client socket: exactly Content-Length bytes,
    // or a chunked body with its framing, last chunk and trailer. True when
    // there is none or all of it was relayed.
    bool sendBody(HttpSocket* __sock);

    // Splits a target into host, port and path.
    void parsePath(std::string __target);
    // Splits "host[:port]" into host and port (80 when there is no colon).
    void parseHost(std::string __host);

    const std::string& getVersion() const { return version; }
    const std::string& getPath() const { return path; }
    const std::string& getHost() const { return host; }
    const std::string& getCommand() const { return command; }
    int getPort() const { return port; }
    bool wouldClose() const { return willClose; }
    // True when the client waits for an interim answer before it sends the
    // body ("Expect: 100-continue").
    bool isExpectingContinue() const;
    // True when a body follows the head.
    bool hasBody() const { return chunkedBody || bodyLength > 0; }
    HttpMessage& getMessage() { return message; }

private:
    bool parseFraming();

    std::string version;
    std::string command;
    std::string path;
    std::string host;
    int port = defaultPort;
    HttpMessage message;
    HttpSocket* clientSocket = nullptr; // not owned: the connection's client socket
    bool willClose = false;
    bool chunkedBody = false; // the body comes in chunked transfer coding
    uint64_t bodyLength = 0;  // the declared body length when not chunked
};

#endif
