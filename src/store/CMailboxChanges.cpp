// CMailboxChanges: per-account counters, their waiters and locks.
#include "store/CMailboxChanges.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>
#include <map>
#include <memory>

#include "platform/MutexLock.h"
#include "platform/UniqueFd.h"

namespace {

struct AccountState {
    Mutex counterMutex;
    std::condition_variable_any changed;
    std::uint64_t counter GUARDED_BY(counterMutex) = 0;
    // The event descriptors of the waiters that also watch a stop
    // descriptor: a bump writes to each, so they sleep in poll until then.
    std::vector<int> waiters GUARDED_BY(counterMutex);
    Mutex rowLock;
};

Mutex g_statesMutex;
std::map<long, std::unique_ptr<AccountState>> g_states GUARDED_BY(g_statesMutex);

AccountState& StateOf(long accountId) {
    MutexLock guard(g_statesMutex);
    std::unique_ptr<AccountState>& state = g_states[accountId];
    if (!state) state = std::make_unique<AccountState>();
    return *state;
}

bool Readable(int fd) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// Without an event descriptor (none could be made) a waiter looks at its
// stop descriptor this often.
constexpr std::chrono::milliseconds kStopSlice{100};

}  // namespace

std::uint64_t CMailboxChanges::Bump(long accountId) {
    AccountState& state = StateOf(accountId);
    std::uint64_t now = 0;
    {
        MutexLock guard(state.counterMutex);
        now = ++state.counter;
        const std::uint64_t one = 1;
        for (const int fd : state.waiters) (void)!::write(fd, &one, sizeof one);
    }
    state.changed.notify_all();
    return now;
}

std::uint64_t CMailboxChanges::Counter(long accountId) {
    AccountState& state = StateOf(accountId);
    MutexLock guard(state.counterMutex);
    return state.counter;
}

std::uint64_t CMailboxChanges::Wait(long accountId, std::uint64_t seen, std::chrono::milliseconds timeout,
                                    int stopFd) {
    AccountState& state = StateOf(accountId);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    UniqueFd event(stopFd >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1);
    if (event) {
        {
            MutexLock guard(state.counterMutex);
            if (state.counter != seen) return state.counter;
            state.waiters.push_back(event.Get());
        }
        pollfd watched[2] = {{event.Get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            const int ready = ::poll(watched, 2, static_cast<int>(std::min<long long>(left.count(), INT32_MAX)));
            if (ready != 0 && !(ready < 0 && errno == EINTR)) break;
        }
        // Off the list before the descriptor closes: a bump never writes to
        // a number the process has given to something else.
        MutexLock guard(state.counterMutex);
        std::erase(state.waiters, event.Get());
        return state.counter;
    }
    MutexLock guard(state.counterMutex);
    while (state.counter == seen) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        guard.unlock();
        const bool stop = Readable(stopFd);
        guard.lock();
        if (stop || state.counter != seen) break;
        const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, kStopSlice);
        state.changed.wait_for(guard, slice);
    }
    return state.counter;
}

Mutex& CMailboxChanges::Lock(long accountId) {
    return StateOf(accountId).rowLock;
}
