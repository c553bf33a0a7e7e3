// HttpResponse: an origin's response head as the proxy understands it, with
// the facts that decide how its body is relayed: whether it has one, whether
// it is chunked, its length when one is known, and whether the connection
// ends after it. Used by one thread only.
#ifndef SHOAL_HTTPRESPONSE_H
#define SHOAL_HTTPRESPONSE_H

#include <cstdint>
#include <string>

#include "httpmessage.h"

class HttpSocket;

class HttpResponse {
public:
    // Reads the next response head from __sock, skipping empty lines before
    // the status line, and derives the body facts. __headRequest tells that
    // the response answers a HEAD request and so has no body. False when the
    // origin closed or failed before a whole status line or before the empty
    // line that ends the head, or when the head breaks the limits of
    // HttpMessage.
    bool parseResponse(HttpSocket* __sock, bool __headRequest = false);
    // Sends the head to __sock (without the "transfer-encoding" field of a
    // chunked body). True only when all of it was sent.
    bool sendResponse(HttpSocket* __sock);

    const std::string& getStatus() const { return status; }
    const std::string& getReason() const { return reason; }
    const std::string& getVersion() const { return version; }
    bool wouldClose() const { return willClose; }
    bool isChunked() const { return chunked; }
    // An interim response (1xx other than 101): the final one follows it.
    bool isInterim() const;
    // False for a response that has no body by rule (to HEAD; 1xx, 204, 304)
    // and for a declared length of 0.
    bool hasBody() const;
    // True when a plain body's length is known; false for a chunked body, a
    // body in another transfer coding and a body that ends when the origin
    // closes (no valid Content-Length).
    bool hasContentLength() const { return lengthKnown; }
    // The declared length; meaningful only when hasContentLength().
    uint64_t getContentLength() const { return contentLength; }
    // The byte range of a partial answer, from "Content-Range: bytes
    // F-L/C": __first and __last are positions in the whole body, __complete
    // its length, or UINT64_MAX when the origin gives "*". False when the
    // field is missing or malformed, or its range is empty or reversed.
    bool findContentRange(uint64_t& __first, uint64_t& __last, uint64_t& __complete) const;
    HttpMessage& getMessage() { return message; }
    const HttpMessage& getMessage() const { return message; }

private:
    void deriveFraming(bool __headRequest);
    // The status as a number, by which both the rule of no body and the
    // interim answers read it; 0 when it is not three characters.
    int statusCode() const;

    std::string status;
    std::string version;
    std::string reason;
    HttpMessage message;
    bool willClose = false;
    bool chunked = false;
    bool bodiless = false; // no body by rule
    bool lengthKnown = false;
    uint64_t contentLength = 0;
};

#endif
