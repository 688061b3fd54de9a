// CBoundedWorker: database work with a bounded wait.
#include "CBoundedWorker.h"

#include <system_error>

#include "platform/Invariant.h"

CBoundedWorker::~CBoundedWorker() {
    {
        MutexLock guard(lock);
        quit = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
}

bool CBoundedWorker::Run(std::function<void()> job, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    MutexLock guard(lock);
    if (!thread.joinable()) {
        try {
            thread = std::thread(&CBoundedWorker::Loop, this);
        } catch (const std::system_error&) {
            // No thread to spare: the work runs here, without the bound.
            guard.unlock();
            job();
            return true;
        }
    }
    while ((running || pending) && changed.wait_until(guard, deadline) != std::cv_status::timeout) {
    }
    if (running || pending) return false;
    pending = std::move(job);
    const std::uint64_t ticket = ++started;
    changed.notify_all();
    while (finished < ticket && changed.wait_until(guard, deadline) != std::cv_status::timeout) {
    }
    return finished >= ticket;
}

bool CBoundedWorker::Busy() {
    MutexLock guard(lock);
    return running || pending;
}

void CBoundedWorker::Loop() {
    MutexLock guard(lock);
    for (;;) {
        while (!quit && !pending) changed.wait(guard);
        if (!pending) return;  // quit with nothing left to do
        std::function<void()> job = std::move(pending);
        pending = nullptr;
        running = true;
        guard.unlock();
        try {
            job();
        } catch (...) {
            // A job reports through what it owns; one that threw reports nothing.
        }
        job = nullptr;  // what the job holds goes with it, here
        guard.lock();
        running = false;
        ++finished;
        VELMORA_INVARIANT(finished <= started, "a bounded job finished that was never started");
        changed.notify_all();
    }
}
