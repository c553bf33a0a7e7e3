#include "bodyrelay.h"

#include <cstdio>
#include <memory>
#include <new>

#include "httpmessage.h"
#include "httpsocket.h"

namespace {

// The copy buffer of one relay, freed on every return.
std::unique_ptr<char[]> makeBuffer() {
    return std::unique_ptr<char[]>(new (std::nothrow) char[BodyRelay::bufferSize]);
}

// Sends one piece of a body; __more tells that more of it is on its way.
// Only while the next piece has already arrived may this one wait for it:
// then it goes out together with the next send, which follows at once.
bool forward(HttpSocket* __from, HttpSocket* __to, const char* __piece, int __size, bool __more) {
    return __to->send(__piece, __size, __more && __from->hasPendingBytes()) == __size;
}

std::string formatChunkSize(uint64_t __size) {
    char text[20];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(__size));
    return text;
}

bool copyWithBuffer(HttpSocket* __from, HttpSocket* __to, uint64_t __length, char* __buffer) {
    while (__length > 0) {
        int wanted =
            __length < BodyRelay::bufferSize ? static_cast<int>(__length) : BodyRelay::bufferSize;
        int received = __from->receive(__buffer, wanted);
        if (received <= 0)
            return false;
        __length -= static_cast<uint64_t>(received);
        if (!forward(__from, __to, __buffer, received, __length > 0))
            return false;
    }
    return true;
}

} // namespace

bool BodyRelay::copyLength(HttpSocket* __from, HttpSocket* __to, uint64_t __length) {
    std::unique_ptr<char[]> buffer = makeBuffer();
    return buffer && copyWithBuffer(__from, __to, __length, buffer.get());
}

bool BodyRelay::copyUntilClose(HttpSocket* __from, HttpSocket* __to) {
    std::unique_ptr<char[]> buffer = makeBuffer();
    if (!buffer)
        return false;
    for (;;) {
        int received = __from->receive(buffer.get(), bufferSize);
        if (received == 0)
            return true;
        if (received < 0 || !forward(__from, __to, buffer.get(), received, true))
            return false;
    }
}

bool BodyRelay::parseChunkSize(const std::string& __line, uint64_t& __size) {
    size_t pos = __line.find_first_not_of(" \t");
    if (pos == std::string::npos)
        pos = __line.size();
    if (__line.compare(pos, 2, "0x") == 0 || __line.compare(pos, 2, "0X") == 0)
        pos += 2;
    uint64_t size = 0;
    for (; pos < __line.size(); ++pos) {
        char c = __line[pos];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        if (size >> 60)
            return false;
        size = size << 4 | digit;
    }
    __size = size;
    return true;
}

bool BodyRelay::copyChunked(HttpSocket* __from, HttpSocket* __to, bool __keepFraming) {
    std::unique_ptr<char[]> buffer = makeBuffer();
    if (!buffer)
        return false;
    std::string line;
    for (;;) {
        uint64_t length;
        if (!__from->receive(line) || !parseChunkSize(line, length))
            return false;
        // The size goes on as the plain hexadecimal number read here, without
        // blanks, prefix or extension: a receiver that reads sizes strictly
        // then finds the same chunks, and so the same end of the body.
        if (__keepFraming && !__to->send(formatChunkSize(length)))
            return false;
        if (length == 0)
            break;
        if (!copyWithBuffer(__from, __to, length, buffer.get()))
            return false;
        // The line end behind the chunk's data; anything else is broken framing.
        if (!__from->receive(line) || !line.empty())
            return false;
        if (__keepFraming && !__to->send(line))
            return false;
    }
    // The trailer: field lines up to an empty line, within the limits of a head.
    size_t trailerSize = 0;
    for (size_t lines = 0;; ++lines) {
        if (!__from->receive(line))
            return false;
        trailerSize += line.size() + 2;
        if (lines > HttpMessage::maxFields || trailerSize > HttpMessage::maxHeadSize)
            return false;
        if (__keepFraming && !__to->send(line))
            return false;
        if (line.empty())
            return true;
    }
}
