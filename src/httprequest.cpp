#include "httprequest.h"

#include <strings.h>

#include "bodyrelay.h"
#include "httpsocket.h"

namespace {

// The port text behind a host's colon, read like atoi: blanks, an optional
// sign, digits up to the first other character. Out of range gives 0, which
// no connect accepts.
int readPort(const std::string& __text) {
    size_t pos = __text.find_first_not_of(HttpMessage::blanks);
    if (pos == std::string::npos)
        return 0;
    bool negative = __text[pos] == '-';
    if (__text[pos] == '+' || __text[pos] == '-')
        ++pos;
    long value = 0;
    for (; pos < __text.size() && __text[pos] >= '0' && __text[pos] <= '9'; ++pos) {
        value = value * 10 + (__text[pos] - '0');
        if (value > 65535)
            return 0;
    }
    return negative ? -static_cast<int>(value) : static_cast<int>(value);
}

// True when the last coding of a Transfer-Encoding value is "chunked".
bool endsWithChunked(const std::string& __codings) {
    size_t end = __codings.find_last_not_of(" \t");
    if (end == std::string::npos)
        return false;
    size_t begin = __codings.find_last_of(", \t", end);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return HttpMessage::isSameName(__codings.substr(begin, end + 1 - begin), "chunked");
}

} // namespace

bool HttpRequest::parseRequest(HttpSocket* __sock) {
    std::string line;
    if (!HttpMessage::readStartLine(__sock, line))
        return false;

    size_t pos = 0;
    std::string cmd = HttpMessage::nextWord(line, pos);
    std::string target = HttpMessage::nextWord(line, pos);
    std::string ver = HttpMessage::nextWord(line, pos);
    for (char& c : cmd)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    command = cmd;
    version = ver;

    // A head that the client gave up on before its empty line is never sent
    // on: the origin would act on a request that was not made whole.
    if (!message.parseMessage(__sock) || !message.isComplete())
        return false;
    parsePath(target);

    if (message.getHeader("proxy-connection") == "close") {
        willClose = true;
        message.setHeader("Connection", "close");
    } else {
        willClose = false;
        message.setHeader("Connection", "keep-alive");
    }
    message.removeHeader("proxy-connection");

    clientSocket = __sock;
    return parseFraming();
}

// Transfer-Encoding overrides Content-Length, as the origin will read it: a
// chunked body is relayed with its framing and its Content-Length is not
// forwarded, so that the proxy and the origin agree on where it ends.
bool HttpRequest::parseFraming() {
    chunkedBody = false;
    bodyLength = 0;
    // "Content-Length : 5" is framing to a lenient origin and none to the
    // proxy: the two would find different ends of the body.
    if (message.hasSpacedName("content-length") || message.hasSpacedName("transfer-encoding"))
        return false;
    std::vector<std::string> codings = message.getHeaderValues("transfer-encoding");
    if (!codings.empty()) {
        if (!endsWithChunked(codings.back()))
            return false;
        chunkedBody = true;
        while (message.removeHeader("content-length")) {
        }
        return true;
    }
    if (message.getHeaderValues("content-length").empty())
        return true;
    return message.findContentLength(bodyLength);
}

void HttpRequest::parsePath(std::string __target) {
    if (__target.size() >= 7 && strncasecmp(__target.c_str(), "http://", 7) == 0) {
        // The authority runs up to the path or the query; without either the
        // target means the path "/" of that host.
        size_t hostEnd = __target.find_first_of("/?", 8);
        if (hostEnd == std::string::npos) {
            parseHost(__target.substr(7));
            path = "/";
        } else {
            parseHost(__target.substr(7, hostEnd - 7));
            path = __target.substr(hostEnd);
            if (path[0] == '?')
                path.insert(0, "/");
        }
    } else if (command == "CONNECT") {
        parseHost(__target);
        path.clear();
    } else {
        path = __target;
        parseHost(message.getHeader("Host"));
    }
}

void HttpRequest::parseHost(std::string __host) {
    size_t hostEnd = __host.find(':');
    if (hostEnd == std::string::npos) {
        host = __host;
        port = defaultPort;
    } else {
        port = readPort(__host.substr(hostEnd + 1));
        host = __host.substr(0, hostEnd);
    }
}

bool HttpRequest::isExpectingContinue() const {
    return hasBody() && HttpMessage::isSameName(message.getHeader("Expect"), "100-continue");
}

bool HttpRequest::sendRequest(HttpSocket* __sock) {
    return sendHead(__sock) && sendBody(__sock);
}

bool HttpRequest::sendHead(HttpSocket* __sock) {
    return __sock->send(command + " " + path + " " + version + "\r\n" + message.getHeaders());
}

bool HttpRequest::sendBody(HttpSocket* __sock) {
    if (chunkedBody)
        return BodyRelay::copyChunked(clientSocket, __sock, true);
    return BodyRelay::copyLength(clientSocket, __sock, bodyLength);
}
