// ContentBuffer: one block of the body of an accelerated transfer, held whole
// in memory from the moment it is cut until it has been sent to the client.
// The blocks of a transfer form the connection's chain, in body order; range
// workers (HttpShrimp) receive into them, the connection thread sends from
// them and frees them.
//
// Sharing rules:
// - bufferSize, dataBegin, dataEnd and buffer are set before the block enters
//   the chain and never change afterwards.
// - Only the block's worker writes bytes and writePos, under the worker's own
//   lock; bytes are stored before writePos (release), so whoever loads
//   writePos (acquire) sees them. Bytes once counted in writePos are never
//   written again.
// - worker is changed under the connection's lock, or by the worker itself
//   (under its own lock) when it lets the block go.
// - readPos belongs to the connection thread alone.
#ifndef SHOAL_CONTENTBUFFER_H
#define SHOAL_CONTENTBUFFER_H

#include <sys/mman.h>

#include <atomic>
#include <cstdint>

class HttpShrimp;

struct ContentBuffer {
    // The storage is mapped for the block alone, so that it goes back to the
    // system the moment it is unmapped: blocks of megabytes, cut and freed by
    // different threads, would otherwise stay with the allocator. __storage,
    // when given, is such a mapping of __size bytes, kept from an earlier
    // block; the block owns it from now on. buffer is null when no memory
    // could be had.
    explicit ContentBuffer(int __size, char* __storage = nullptr)
        : buffer(__storage ? __storage : mapStorage(__size)), bufferSize(__size) {}
    ~ContentBuffer() { unmapStorage(buffer, bufferSize); }

    // A mapping of __size bytes, or null.
    static char* mapStorage(int __size) {
        void* storage = mmap(nullptr, static_cast<size_t>(__size), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return storage == MAP_FAILED ? nullptr : static_cast<char*>(storage);
    }
    static void unmapStorage(char* __storage, int __size) {
        if (__storage)
            munmap(__storage, static_cast<size_t>(__size));
    }
    // Hands the storage to the caller, who unmaps it or gives it to a new
    // block of the same size.
    char* takeStorage() {
        char* storage = buffer;
        buffer = nullptr;
        return storage;
    }

    ContentBuffer(const ContentBuffer&) = delete;
    ContentBuffer& operator=(const ContentBuffer&) = delete;

    // The body position of the next byte to receive.
    uint32_t getFillPosition() const {
        return dataBegin + static_cast<uint32_t>(writePos.load(std::memory_order_acquire));
    }

    std::atomic<HttpShrimp*> worker{nullptr}; // not owned: the worker filling it, or null
    char* buffer;                             // the block's bytes, owned
    const int bufferSize;
    std::atomic<int> writePos{0}; // bytes received, from the block's first byte
    int readPos = 0;              // bytes sent to the client; connection thread only
    uint32_t dataBegin = 0;       // body position of the first byte
    uint32_t dataEnd = 0;         // body position just behind the last byte
    std::atomic<int> failures{0}; // attempts to fill it that failed; see HttpShrimp
};

#endif
