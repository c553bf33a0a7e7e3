// Fuzzes the chunked body relay: the first input byte chooses whether the
// framing is kept (as for request bodies) or dropped (as for responses), the
// rest is the body as the sender writes it. BodyRelay::copyChunked moves it
// between two HttpSockets, and the target holds the result against a
// reference reader of the chunked grammar.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bodyrelay.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    bool keepFraming = data[0] & 1;
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    fuzz::ChunkScan reference = fuzz::scanChunked(input);
    const std::string& expected = keepFraming ? reference.framed : reference.data;

    fuzz::Wire wire(input);
    bool relayed = BodyRelay::copyChunked(wire.from(), wire.to(), keepFraming);
    uint64_t received = wire.from()->getReceivedBytes();
    std::string sent = wire.output();
    if (reference.whole) {
        FUZZ_CHECK(relayed, "a whole chunked body was not relayed");
        FUZZ_CHECK(sent == expected, "the relayed bytes differ from the body");
        FUZZ_CHECK(received == reference.consumed, "the relay read past the body");
    } else {
        FUZZ_CHECK(!relayed, "a broken or cut chunked body was relayed as whole");
        FUZZ_CHECK(fuzz::isPrefix(sent, expected), "the relay sent what the body does not hold");
    }
    // Kept framing is sent in the canonical form: it reads as the same body.
    if (keepFraming && relayed) {
        fuzz::ChunkScan again = fuzz::scanChunked(sent);
        FUZZ_CHECK(again.whole && again.consumed == sent.size() && again.data == reference.data &&
                       again.framed == sent,
                   "the kept framing does not read as the same body");
    }
    return 0;
}
