// CBoundedWorker: runs a session's database work on a thread of its own so
// that the session waits for it only so long.
//
// The account database is one connection shared by every session and the
// delivery; a statement waits behind whatever holds the database (the
// driver's busy wait, or another thread's statement on the connection), and
// no statement option can cut that short from here. So the session hands
// the work over and waits with a bound; work that overruns finishes on the
// worker, and whatever it made stays with the job (it must own everything it
// touches except what outlives the worker). One job runs at a time; the
// destructor waits for the running one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>

#include "ModuleVisibility.h"
#include "platform/MutexLock.h"

class MODULE_LOCAL CBoundedWorker {
public:
    CBoundedWorker() = default;
    ~CBoundedWorker();
    CBoundedWorker(const CBoundedWorker&) = delete;
    CBoundedWorker& operator=(const CBoundedWorker&) = delete;

    // True when job ran to its end within bound (which includes waiting for
    // an earlier job that overran); false when it is still running, or was
    // never started because the worker stayed busy.
    bool Run(std::function<void()> job, std::chrono::milliseconds bound);
    // True while a job that overran its bound is still running.
    bool Busy();

private:
    void Loop();

    Mutex lock;  // the pending job, the counts and the quit request
    std::condition_variable_any changed;
    std::function<void()> pending GUARDED_BY(lock);
    bool running GUARDED_BY(lock) = false;
    bool quit GUARDED_BY(lock) = false;
    std::uint64_t started GUARDED_BY(lock) = 0;
    std::uint64_t finished GUARDED_BY(lock) = 0;
    std::thread thread;
};
