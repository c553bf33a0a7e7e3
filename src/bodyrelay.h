// BodyRelay: moves a message body from one socket to another, in pieces of at
// most bufferSize bytes, each forwarded by one send. It never reads past the
// end of the body, so what follows it (the next message of a kept-alive
// connection) stays unread in the socket. Runs on the caller's thread.
#ifndef SHOAL_BODYRELAY_H
#define SHOAL_BODYRELAY_H

#include <cstdint>
#include <string>

class HttpSocket;

class BodyRelay {
public:
    static constexpr int bufferSize = 8192;

    // Relays exactly __length bytes. True when all of them arrived and were
    // sent; false when either side failed or closed first.
    static bool copyLength(HttpSocket* __from, HttpSocket* __to, uint64_t __length);
    // Relays until __from closes. True when it closed cleanly; false on a
    // failure of either side.
    static bool copyUntilClose(HttpSocket* __from, HttpSocket* __to);
    // Relays a body in chunked transfer coding up to its last chunk and the
    // trailer behind it. With __keepFraming the chunk sizes (as plain
    // hexadecimal numbers, without extensions), line ends and trailer are
    // passed on as well; without it only the chunk data is. True
    // when the whole body arrived and was sent; false when either side failed
    // or the framing broke (a size that does not fit 64 bits, data longer than
    // its size line, a trailer over the head limits).
    static bool copyChunked(HttpSocket* __from, HttpSocket* __to, bool __keepFraming);

    // Reads the chunk size at the start of a size line as a hexadecimal number:
    // blanks skipped, an optional 0x, digits up to the first other character.
    // A line without digits gives 0. False when the number does not fit 64 bits.
    static bool parseChunkSize(const std::string& __line, uint64_t& __size);
};

#endif
