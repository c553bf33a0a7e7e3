// Fuzzes the response head reader and the facts it derives, as the connection
// loop drives them: the first input byte tells whether the response answers a
// HEAD request, the rest is what the origin sends. HttpResponse::parseResponse
// reads it from an HttpSocket and sendResponse writes the head on to another
// one; the target judges the facts and the head the client receives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzsupport.h"
#include "httpresponse.h"

namespace {

bool isDigit(char __c) {
    return __c >= '0' && __c <= '9';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    bool headRequest = data[0] & 1;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    fuzz::HeadScan scan = fuzz::scanHead(input);

    fuzz::Wire wire(input);
    HttpResponse response;
    bool parsed = response.parseResponse(wire.from(), headRequest);
    // A head cut off by the close is refused like one over the limits.
    FUZZ_CHECK(parsed == (scan.result == fuzz::HeadScan::Whole),
               "a head taken or refused against the rules");
    if (!parsed)
        return 0;
    FUZZ_CHECK(wire.from()->getReceivedBytes() == scan.consumed,
               "the head reader read into the body");

    // The facts, against the rules of HTTP/1.1 read from the origin's head.
    const std::string& status = response.getStatus();
    bool threeDigits =
        status.size() == 3 && isDigit(status[0]) && isDigit(status[1]) && isDigit(status[2]);
    bool informational = threeDigits && status[0] == '1';
    bool noBodyByRule = headRequest || informational || status == "204" || status == "304";
    std::vector<std::string> codings = fuzz::fieldValues(scan.fieldLines, "transfer-encoding");
    std::vector<std::string> lengths = fuzz::fieldValues(scan.fieldLines, "content-length");

    FUZZ_CHECK(!(response.isChunked() && response.hasContentLength()),
               "a chunked body with a known length");
    FUZZ_CHECK(!response.isChunked() || !codings.empty(), "chunked without Transfer-Encoding");
    if (noBodyByRule)
        FUZZ_CHECK(!response.hasBody(), "a body where the rules allow none");
    if (response.isInterim())
        FUZZ_CHECK(!response.hasBody(), "an interim response with a body to relay");
    if (response.hasContentLength()) {
        FUZZ_CHECK(codings.empty(), "a length trusted beside a Transfer-Encoding");
        uint64_t first = 0;
        for (size_t i = 0; i < lengths.size(); ++i) {
            uint64_t value;
            FUZZ_CHECK(fuzz::plainDecimal(lengths[i], value) && (i == 0 || value == first),
                       "a Content-Length trusted that is no number, or disagrees");
            first = value;
        }
        FUZZ_CHECK(!lengths.empty() && first == response.getContentLength(),
                   "the length is not the declared one");
    }
    if (!response.hasBody())
        FUZZ_CHECK(noBodyByRule ||
                       (response.hasContentLength() && response.getContentLength() == 0),
                   "a body dropped");
    // A body that ends with the origin's close, or is de-framed for a client
    // that then can tell its end only by the close, ends the connection.
    if (response.hasBody() && !response.hasContentLength())
        FUZZ_CHECK(response.wouldClose(), "a body delimited by the close on a kept connection");
    if (status == "101")
        FUZZ_CHECK(response.wouldClose(), "a switched protocol on a kept connection");

    // The head as the client receives it.
    FUZZ_CHECK(response.sendResponse(wire.to()), "sending the head failed");
    std::string sent = wire.output();
    std::string statusLine;
    std::vector<std::string> fields;
    size_t sentSize = 0;
    FUZZ_CHECK(fuzz::splitSentHead(sent, statusLine, fields, sentSize) && sentSize == sent.size(),
               "the sent head is not CR LF framed");
    FUZZ_CHECK(statusLine == response.getVersion() + " " + status + " " + response.getReason(),
               "the status line differs from the parsed words");
    if (response.isChunked()) {
        // The client gets the body de-framed and learns its end by the close.
        FUZZ_CHECK(fuzz::fieldValues(fields, "transfer-encoding").empty(),
                   "a de-framed body announced as Transfer-Encoding");
        FUZZ_CHECK(fuzz::fieldValues(fields, "content-length").empty(),
                   "a de-framed body announced with a length");
    } else {
        // Every field goes on but the framing fields with white space before
        // their colon, which the client could read as framing.
        std::vector<std::string> received;
        for (const std::string& line : scan.fieldLines)
            if (line.find(':') != std::string::npos &&
                !fuzz::spacedName({line}, "content-length") &&
                !fuzz::spacedName({line}, "transfer-encoding"))
                received.push_back(line);
        FUZZ_CHECK(fields.size() == received.size(), "fields lost or added on the way");
        for (size_t i = 0; i < fields.size(); ++i) {
            std::string name, value, sentName, sentValue;
            fuzz::splitField(received[i], name, value);
            fuzz::splitField(fields[i], sentName, sentValue);
            FUZZ_CHECK(name == sentName && value == sentValue, "a field changed on the way");
        }
    }

    // The client's view: the sent head read again gives the same facts, except
    // that a de-framed body is one that ends with the close; and it is sent
    // on as the very same bytes.
    if (fuzz::scanHead(sent).result != fuzz::HeadScan::Whole)
        return 0; // the head grew past the limits on the way
    fuzz::Wire second(sent);
    HttpResponse reread;
    FUZZ_CHECK(reread.parseResponse(second.from(), headRequest), "the sent head does not parse");
    FUZZ_CHECK(reread.getStatus() == status && reread.getVersion() == response.getVersion() &&
                   reread.getReason() == response.getReason(),
               "the sent status line reads otherwise");
    FUZZ_CHECK(!reread.isChunked(), "the client is told of a chunked body");
    FUZZ_CHECK(reread.hasBody() == response.hasBody(), "the client expects another body");
    if (response.isChunked()) {
        FUZZ_CHECK(!reread.hasContentLength(), "the client expects a length");
        FUZZ_CHECK(reread.wouldClose() || !reread.hasBody(),
                   "the client expects no close after a de-framed body");
    } else {
        FUZZ_CHECK(reread.hasContentLength() == response.hasContentLength() &&
                       reread.getContentLength() == response.getContentLength() &&
                       reread.wouldClose() == response.wouldClose(),
                   "the client derives other facts");
    }
    FUZZ_CHECK(reread.sendResponse(second.to()), "sending the head again failed");
    FUZZ_CHECK(second.output() == sent, "the head is not sent on unchanged");
    return 0;
}
