// MutexLock: holds a Mutex for its scope, told to the thread-safety analysis.
//
// unlock() and lock() let go of it and take it again within the scope (work
// done outside the lock); they are also what std::condition_variable_any
// calls while it waits, so a MutexLock is what such a variable waits on.
// Wait in a loop on the condition (while (!ready) cv.wait(guard);) rather
// than with a predicate lambda: the analysis checks a lambda's body as a
// function of its own, which holds nothing.
#pragma once

#include "platform/Mutex.h"

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex(mutex) { mutex.lock(); }
    ~MutexLock() RELEASE() {
        if (held) mutex.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() ACQUIRE() {
        mutex.lock();
        held = true;
    }
    void unlock() RELEASE() {
        held = false;
        mutex.unlock();
    }

private:
    Mutex& mutex;
    bool held = true;
};
