// Mutex: std::mutex with the capability attributes clang's thread-safety
// analysis needs (ThreadAnnotations.h); members it guards are marked
// GUARDED_BY. The lower-case lock/unlock make it Lockable, so
// std::condition_variable_any can wait on it through a MutexLock.
#pragma once

#include <mutex>

#include "platform/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex.try_lock(); }

private:
    std::mutex mutex;
};
