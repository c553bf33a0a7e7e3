// CppThread: the base of every active object. A subclass overrides process();
// its owner runs it on a thread of its own with startThread() and waits for it
// with joinThread(). Each object also carries one mutex (lock()/unlock()),
// through which other threads share the object's state; std::lock_guard works
// on a CppThread directly.
#ifndef SHOAL_CPPTHREAD_H
#define SHOAL_CPPTHREAD_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

class CppThread {
public:
    CppThread();
    virtual ~CppThread();

    CppThread(const CppThread&) = delete;
    CppThread& operator=(const CppThread&) = delete;

    // The body of the thread; the base version does nothing.
    virtual void process() {}

    // Runs process() on a new thread. False, and nothing created, while
    // process() is already running. A failed thread creation is retried,
    // paced by threadRetryMs, until it succeeds. Owner's thread only.
    bool startThread();

    // Waits until the thread has ended. Does nothing when no thread was started
    // or it has been joined already. Owner's thread only.
    void joinThread();

    void lock() { pthread_mutex_lock(&criticalMutex); }
    void unlock() { pthread_mutex_unlock(&criticalMutex); }

    static constexpr int threadRetryMs = 10;

private:
    static void* beginThread(void* __ptr);

    pthread_t threadHandle{};         // owner's thread
    int exitCode = 0;                 // the thread's result; never changed
    bool joinable = false;            // owner's thread: started and not yet joined
    std::atomic<bool> started{false}; // written by the new thread while process() runs
    pthread_mutex_t criticalMutex;
};

// A millisecond tick count that wraps at 32 bits: take elapsed times as
// unsigned differences of two readings.
uint32_t getTickCount();
void sleepMilliseconds(int __milliseconds);

#endif
