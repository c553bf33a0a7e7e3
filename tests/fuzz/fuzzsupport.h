// Helpers shared by the fuzz targets: a fresh pair of loopback streams per
// input around the proxy's own HttpSocket objects, and small reference
// readers of the wire formats, written from the documented grammar so that
// the targets can judge what the proxy read and sent.
#ifndef SHOAL_FUZZSUPPORT_H
#define SHOAL_FUZZSUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "httpsocket.h"

// Ends the run with a report that libFuzzer records together with the input.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         what);                                                                    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// One loopback TCP connection, accepted by the process-wide HttpSocket
// listener, so that the code under test reads and writes through the same
// socket calls as in the proxy: the input comes in and then the peer's close,
// and what is sent goes back to the peer, which collects it. (Both directions
// of one connection: half the connections, twice the executions.) The input
// is written at once; large inputs and outputs are moved by threads of their
// own, so that a full socket buffer never blocks the caller.
class Wire {
public:
    explicit Wire(const std::string& __input);
    // Closes the connection and joins the helper threads.
    ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    // Reads __input, then sees the end of the stream.
    HttpSocket* from() { return socket; }
    // What is sent here is returned by output().
    HttpSocket* to() { return socket; }
    // Ends the output stream and returns every byte sent to to().
    std::string output();

private:
    int peerFd = -1;              // raw peer: writes the input, reads the output
    HttpSocket* socket = nullptr; // owned
    std::string pending;          // input not yet written (large inputs)
    std::string collected;        // output read so far
    std::thread writer;           // writes pending (large inputs only)
    std::thread reader;           // fills collected (large inputs only)
    bool ended = false;
};

// How a head (request or response) stands on the wire, read by the documented
// rules: lines end at LF, CRs are dropped, empty lines before the start line
// are skipped, the head ends at the first empty line; a line over
// HttpSocket::maxLineLength, a field line arriving while HttpMessage::maxFields
// fields are held, or field lines over HttpMessage::maxHeadSize refuse it.
struct HeadScan {
    enum Result {
        NoStartLine, // the stream ended (or the start line broke the limit) first
        Refused,     // a field line broke a limit
        Cut,         // the stream ended before the empty line
        Whole,       // the empty line arrived
    };
    Result result = NoStartLine;
    size_t consumed = 0; // Whole: bytes up to and including the empty line's LF
    std::string startLine;
    std::vector<std::string> fieldLines; // lines of the head, without CR
};
HeadScan scanHead(const std::string& __wire, size_t __from = 0);

// One field line split as "name: value": the name before the first colon,
// the value with blanks and tabs trimmed at both ends. False without colon.
bool splitField(const std::string& __line, std::string& __name, std::string& __value);
// The trimmed values of every field line named __name (ASCII case ignored).
std::vector<std::string> fieldValues(const std::vector<std::string>& __lines, const char* __name);
bool sameName(const std::string& __a, const char* __b);
// True when a field line's name is __name followed by blanks or tabs.
bool spacedName(const std::vector<std::string>& __lines, const char* __name);
// A plain decimal number (blanks around it allowed) below 2^64.
bool plainDecimal(const std::string& __text, uint64_t& __number);
// True when the last coding of a list of Transfer-Encoding values is chunked.
bool lastCodingChunked(const std::vector<std::string>& __values);

// Splits a CR LF framed head as the proxy sends it: the start line, the field
// lines and the size of the head including its empty line. False when there
// is no empty line, or a CR or LF stands anywhere but in a CR LF pair.
bool splitSentHead(const std::string& __wire, std::string& __startLine,
                   std::vector<std::string>& __fieldLines, size_t& __size);

// A chunked body read by the documented grammar: size lines (blanks, an
// optional 0x, hex digits up to the first other character, no digits = 0),
// each chunk's data followed by an empty line, after the last chunk a trailer
// of lines up to an empty one within the limits of a head.
struct ChunkScan {
    bool whole = false;  // the body ended properly
    size_t consumed = 0; // whole: bytes up to and including the trailer's end
    std::string data;    // the chunk data, as far as it arrived
    std::string framed;  // the body re-sent with CR LF line ends, as far as it
                         // arrived: sizes in plain hex, data and trailer as is
};
ChunkScan scanChunked(const std::string& __wire, size_t __from = 0);

// A chunked body as a strict reader of HTTP/1.1 takes it: every line ends in
// CR LF, a size is hex digits alone or followed by blanks and ";" and an
// extension; the trailer ends at the first empty line. Fills whole, consumed
// and data.
ChunkScan scanStrictChunked(const std::string& __wire);

// True when __prefix is a prefix of __whole.
bool isPrefix(const std::string& __prefix, const std::string& __whole);

} // namespace fuzz

#endif
