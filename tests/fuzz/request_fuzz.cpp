// Fuzzes the request head reader and rewriter as the connection loop drives
// them: the input is what a client sends; HttpRequest::parseRequest reads it
// from an HttpSocket, sendHead and sendBody write it on to another one, and
// the target judges what the origin would receive.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzsupport.h"
#include "httprequest.h"

namespace {

bool hasBlank(const std::string& __word) {
    return __word.find_first_of(" \t\v\f") != std::string::npos;
}

bool hasLowerCase(const std::string& __word) {
    for (char c : __word)
        if (c >= 'a' && c <= 'z')
            return true;
    return false;
}

// Checks the framing of a head as the origin reads it: the body that the head
// announces must be exactly the body that follows it.
void checkSentFraming(const std::vector<std::string>& __fields, const std::string& __body,
                      bool __relayed) {
    std::vector<std::string> codings = fuzz::fieldValues(__fields, "transfer-encoding");
    std::vector<std::string> lengths = fuzz::fieldValues(__fields, "content-length");
    if (!codings.empty()) {
        FUZZ_CHECK(lengths.empty(), "a chunked request goes out with a Content-Length");
        FUZZ_CHECK(fuzz::lastCodingChunked(codings), "a body the origin cannot delimit");
        fuzz::ChunkScan body = fuzz::scanChunked(__body);
        if (__relayed)
            FUZZ_CHECK(body.whole && body.consumed == __body.size(),
                       "the relayed chunked body is not one whole chunked body");
        else
            FUZZ_CHECK(!body.whole, "a whole chunked body was relayed, yet the relay failed");
        return;
    }
    uint64_t length = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        uint64_t value;
        FUZZ_CHECK(fuzz::plainDecimal(lengths[i], value), "a Content-Length that is no number");
        FUZZ_CHECK(i == 0 || value == length, "two Content-Lengths disagree");
        length = value;
    }
    if (__relayed)
        FUZZ_CHECK(__body.size() == length, "the body differs from the declared length");
    else
        FUZZ_CHECK(__body.size() < length, "the relay failed with the whole body sent");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    fuzz::HeadScan scan = fuzz::scanHead(input);

    fuzz::Wire wire(input);
    HttpRequest request;
    bool parsed = request.parseRequest(wire.from());
    if (scan.result != fuzz::HeadScan::Whole) {
        FUZZ_CHECK(!parsed, "a head without its empty line, or over the limits, was taken");
        return 0;
    }
    // The framing the client declared, read as an origin reads it.
    std::vector<std::string> codings = fuzz::fieldValues(scan.fieldLines, "transfer-encoding");
    std::vector<std::string> lengths = fuzz::fieldValues(scan.fieldLines, "content-length");
    // A framing field with white space before its colon is framing to some
    // origins and none to others.
    bool trustedFraming = true;
    if (fuzz::spacedName(scan.fieldLines, "transfer-encoding") ||
        fuzz::spacedName(scan.fieldLines, "content-length")) {
        trustedFraming = false;
    } else if (!codings.empty()) {
        trustedFraming = fuzz::lastCodingChunked(codings);
    } else {
        uint64_t first = 0;
        for (size_t i = 0; i < lengths.size() && trustedFraming; ++i) {
            uint64_t value;
            trustedFraming = fuzz::plainDecimal(lengths[i], value) && (i == 0 || value == first);
            first = value;
        }
    }
    FUZZ_CHECK(parsed == trustedFraming, "framing judged otherwise than the origin would");
    if (!parsed)
        return 0;
    FUZZ_CHECK(wire.from()->getReceivedBytes() == scan.consumed,
               "the head reader read into the body");

    const std::string& command = request.getCommand();
    const std::string& path = request.getPath();
    const std::string& host = request.getHost();
    FUZZ_CHECK(!hasBlank(command) && !hasBlank(path) && !hasBlank(request.getVersion()),
               "a request word holds a blank");
    FUZZ_CHECK(!hasLowerCase(command), "the command is not upper case");
    FUZZ_CHECK(host.find(':') == std::string::npos, "the host keeps a port");
    FUZZ_CHECK(request.getPort() >= -65535 && request.getPort() <= 65535,
               "a port beyond what connect can refuse");
    bool absolute = false;
    {
        size_t pos = 0;
        HttpMessage::nextWord(scan.startLine, pos);
        std::string target = HttpMessage::nextWord(scan.startLine, pos);
        absolute = target.size() >= 7 && fuzz::sameName(target.substr(0, 7), "http://");
    }
    if (absolute) {
        // The host runs up to the first "/" or "?" behind its first character.
        FUZZ_CHECK(host.find_first_of("/?", 1) == std::string::npos, "the host holds a path");
        FUZZ_CHECK(!path.empty() && path[0] == '/', "an absolute target left no path");
    }

    // The head as the origin receives it.
    FUZZ_CHECK(request.sendHead(wire.to()), "sending the head failed");
    bool relayed = request.sendBody(wire.to());
    std::string sent = wire.output();
    std::string startLine;
    std::vector<std::string> fields;
    size_t headSize = 0;
    FUZZ_CHECK(fuzz::splitSentHead(sent, startLine, fields, headSize),
               "the sent head is not CR LF framed");
    FUZZ_CHECK(startLine == command + " " + path + " " + request.getVersion(),
               "the request line differs from the parsed words");
    for (const std::string& field : fields)
        FUZZ_CHECK(field.find(':') != std::string::npos, "a field line without colon");

    size_t clientProxyConnection = fuzz::fieldValues(scan.fieldLines, "proxy-connection").size();
    size_t clientConnection = fuzz::fieldValues(scan.fieldLines, "connection").size();
    std::vector<std::string> connection = fuzz::fieldValues(fields, "connection");
    if (clientProxyConnection <= 1)
        FUZZ_CHECK(fuzz::fieldValues(fields, "proxy-connection").empty(),
                   "proxy-connection reached the origin");
    if (clientConnection <= 1)
        FUZZ_CHECK(connection.size() == 1, "not exactly one Connection field");
    FUZZ_CHECK(!connection.empty() &&
                   connection[0] == (request.wouldClose() ? "close" : "keep-alive"),
               "the origin is told otherwise than the proxy will do");

    // The body as the origin receives it: what the sent head announces, and
    // exactly the bytes the client sent behind its head.
    std::string body = sent.substr(headSize);
    checkSentFraming(fields, body, relayed);
    if (codings.empty()) {
        FUZZ_CHECK(fuzz::isPrefix(body, input.substr(scan.consumed)),
                   "the body is not the client's bytes");
        FUZZ_CHECK(!relayed || wire.from()->getReceivedBytes() == scan.consumed + body.size(),
                   "the body relay read past the body");
    } else {
        fuzz::ChunkScan clientBody = fuzz::scanChunked(input, scan.consumed);
        FUZZ_CHECK(relayed == clientBody.whole, "chunked request body judged otherwise");
        FUZZ_CHECK(relayed ? body == clientBody.framed : fuzz::isPrefix(body, clientBody.framed),
                   "the chunked body was changed");
        FUZZ_CHECK(!relayed ||
                       wire.from()->getReceivedBytes() == scan.consumed + clientBody.consumed,
                   "the chunked relay read past the body");
        // The origin may read chunks strictly: it must find the same body.
        if (relayed) {
            fuzz::ChunkScan strict = fuzz::scanStrictChunked(body);
            FUZZ_CHECK(strict.whole && strict.consumed == body.size() &&
                           strict.data == clientBody.data,
                       "a strict origin reads another chunked body");
        }
    }

    // The rewritten head, read again, means the same request; a keep-alive
    // one is rewritten to the very same bytes. CONNECT is answered by the
    // proxy and never sent on.
    if (command == "CONNECT")
        return 0;
    std::string head = sent.substr(0, headSize);
    fuzz::HeadScan again = fuzz::scanHead(head);
    if (again.result != fuzz::HeadScan::Whole)
        return 0; // the rewrite grew the head past the limits
    fuzz::Wire second(head);
    HttpRequest reread;
    FUZZ_CHECK(reread.parseRequest(second.from()), "the rewritten head does not parse");
    FUZZ_CHECK(reread.getCommand() == command && reread.getPath() == path &&
                   reread.getVersion() == request.getVersion(),
               "the rewritten head reads as another request");
    if (!absolute)
        FUZZ_CHECK(reread.getHost() == host && reread.getPort() == request.getPort(),
                   "the rewritten head names another origin");
    FUZZ_CHECK(reread.sendHead(second.to()), "sending the head again failed");
    if (!request.wouldClose() && clientProxyConnection <= 1)
        FUZZ_CHECK(second.output() == head, "the rewrite is not idempotent");
    return 0;
}
