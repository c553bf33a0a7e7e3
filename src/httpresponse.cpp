#include "httpresponse.h"

#include <cstdlib>

#include "httpsocket.h"

bool HttpResponse::parseResponse(HttpSocket* __sock, bool __headRequest) {
    std::string line;
    if (!HttpMessage::readStartLine(__sock, line))
        return false;

    // Version and status are the first two words; the reason phrase is the
    // rest of the line, all of its words.
    size_t pos = 0;
    version = HttpMessage::nextWord(line, pos);
    status = HttpMessage::nextWord(line, pos);
    size_t reasonBegin = line.find_first_not_of(HttpMessage::blanks, pos);
    reason = reasonBegin == std::string::npos ? "" : line.substr(reasonBegin);

    // A head that the origin closed before its empty line is never passed
    // on: its fields may be cut short, and the client could not tell.
    if (!message.parseMessage(__sock) || !message.isComplete())
        return false;
    deriveFraming(__headRequest);
    return true;
}

// Transfer-Encoding overrides Content-Length. A chunked body is de-framed for
// the client, which then learns its end only from the closed connection; a
// body in another coding is relayed as it is until the origin closes. A
// Content-Length that cannot be trusted counts as none, so that no body bytes
// can stay on a kept-alive origin connection to be read as the next response.
void HttpResponse::deriveFraming(bool __headRequest) {
    int code = statusCode();
    bodiless = __headRequest || (code >= 100 && code < 200) || code == 204 || code == 304;
    lengthKnown = false;
    contentLength = 0;

    // "Content-Length : 5" is framing to a lenient client and none to the
    // proxy: it is not passed on, so that the client finds the end of the
    // body where the proxy does.
    message.removeSpacedNames("content-length");
    message.removeSpacedNames("transfer-encoding");

    std::vector<std::string> codings = message.getHeaderValues("transfer-encoding");
    bool coded = !codings.empty();
    // Only a body in chunked coding alone is de-framed: with further codings
    // or fields it is relayed as it is, under the fields that describe it.
    chunked = codings.size() == 1 && codings[0] == "chunked";
    if (chunked) {
        message.removeHeader("transfer-encoding");
        while (message.removeHeader("content-length")) {
        }
    }
    if (!coded)
        lengthKnown = message.findContentLength(contentLength);
    willClose = !lengthKnown && !bodiless;
    if (message.getHeader("connection") == "close" || code == 101)
        willClose = true;
}

int HttpResponse::statusCode() const {
    return status.size() == 3 ? std::atoi(status.c_str()) : 0;
}

// By the same reading of the code as the rule of no body, so that an interim
// response never has a body to relay.
bool HttpResponse::isInterim() const {
    int code = statusCode();
    return code >= 100 && code < 200 && code != 101;
}

bool HttpResponse::hasBody() const {
    return !bodiless && !(lengthKnown && contentLength == 0);
}

bool HttpResponse::sendResponse(HttpSocket* __sock) {
    return __sock->send(version + " " + status + " " + reason + "\r\n" + message.getHeaders());
}

bool HttpResponse::findContentRange(uint64_t& __first, uint64_t& __last,
                                    uint64_t& __complete) const {
    std::string value = message.getHeader("content-range");
    size_t pos = 0;
    if (!HttpMessage::isSameName(HttpMessage::nextWord(value, pos), "bytes"))
        return false;
    size_t dash = value.find('-', pos);
    size_t slash = value.find('/', pos);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash)
        return false;
    std::string complete = value.substr(slash + 1);
    size_t star = complete.find_first_not_of(HttpMessage::blanks);
    if (star != std::string::npos && complete[star] == '*' &&
        complete.find_first_not_of(HttpMessage::blanks, star + 1) == std::string::npos)
        __complete = UINT64_MAX;
    else if (!HttpMessage::parseDecimal(complete, __complete))
        return false;
    return HttpMessage::parseDecimal(value.substr(pos, dash - pos), __first) &&
           HttpMessage::parseDecimal(value.substr(dash + 1, slash - dash - 1), __last) &&
           __first <= __last;
}
