#include "cppthread.h"

#include <unistd.h>

#include <chrono>

CppThread::CppThread() {
    pthread_mutex_init(&criticalMutex, nullptr);
}

CppThread::~CppThread() {
    pthread_mutex_destroy(&criticalMutex);
}

bool CppThread::startThread() {
    if (started.load())
        return false;
    joinThread(); // a thread that has ended but was never joined
    while (pthread_create(&threadHandle, nullptr, beginThread, this) != 0)
        usleep(threadRetryMs * 1000);
    joinable = true;
    return true;
}

void CppThread::joinThread() {
    if (!joinable)
        return;
    pthread_join(threadHandle, nullptr);
    joinable = false;
}

void* CppThread::beginThread(void* __ptr) {
    CppThread* self = static_cast<CppThread*>(__ptr);
    self->started.store(true);
    self->process();
    self->started.store(false);
    return reinterpret_cast<void*>(static_cast<intptr_t>(self->exitCode));
}

uint32_t getTickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void sleepMilliseconds(int __milliseconds) {
    usleep(static_cast<useconds_t>(__milliseconds) * 1000);
}
