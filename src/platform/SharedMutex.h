// SharedMutex: std::shared_mutex with the capability attributes of the
// thread-safety analysis; taken whole through a WriterLock, shared through a
// ReaderLock.
#pragma once

#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

class CAPABILITY("shared_mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { mutex.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { mutex.unlock_shared(); }

private:
    std::shared_mutex mutex;
};
