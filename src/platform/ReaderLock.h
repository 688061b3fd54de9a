// ReaderLock: holds a SharedMutex shared (other readers pass, writers wait)
// for its scope; unlock() lets go of it early.
#pragma once

#include "platform/SharedMutex.h"

class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex(mutex) { mutex.lock_shared(); }
    ~ReaderLock() RELEASE() {
        if (held) mutex.unlock_shared();
    }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

    void unlock() RELEASE() {
        held = false;
        mutex.unlock_shared();
    }

private:
    SharedMutex& mutex;
    bool held = true;
};
