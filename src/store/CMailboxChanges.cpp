// CMailboxChanges: per-account counters, their waiters and locks.
#include "store/CMailboxChanges.h"

#include <poll.h>

#include <algorithm>
#include <map>
#include <memory>

#include "platform/MutexLock.h"

namespace {

struct AccountState {
    Mutex counterMutex;
    std::condition_variable_any changed;
    std::uint64_t counter GUARDED_BY(counterMutex) = 0;
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

// A waiter looks at its stop descriptor this often: the condition variable
// cannot wait on a descriptor too.
constexpr std::chrono::milliseconds kStopSlice{100};

}  // namespace

void CMailboxChanges::Bump(long accountId) {
    AccountState& state = StateOf(accountId);
    {
        MutexLock guard(state.counterMutex);
        ++state.counter;
    }
    state.changed.notify_all();
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
