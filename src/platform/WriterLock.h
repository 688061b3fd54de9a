// WriterLock: holds a SharedMutex whole (no reader, no other writer) for its
// scope; movable, so a function can hand the hold to its caller.
#pragma once

#include <utility>

#include "platform/SharedMutex.h"

class SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex(&mutex) { mutex.lock(); }
    WriterLock(WriterLock&& other) noexcept : mutex(std::exchange(other.mutex, nullptr)) {}
    WriterLock& operator=(WriterLock&&) = delete;
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    ~WriterLock() RELEASE() {
        if (mutex) mutex->unlock();
    }

private:
    SharedMutex* mutex;
};
