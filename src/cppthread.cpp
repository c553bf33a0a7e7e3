#include "cppthread.h"

#include <unistd.h>

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
