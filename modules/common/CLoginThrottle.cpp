// CLoginThrottle: failed-login delays and address locks.
#include "CLoginThrottle.h"

#include <algorithm>

#include "foundation/CModuleLog.h"

namespace {
constexpr auto kForgetAfter = std::chrono::hours(1);
constexpr std::size_t kPruneAbove = 4096;

// An IPv6 lock holds the client's whole /64.
std::string Describe(const CClientAddress& client) {
    return client.IsIPv4() ? client.Text() : client.Text() + " (its /64)";
}
}  // namespace

CLoginThrottle::CLoginThrottle(std::string service)
    : prefix(service.empty() ? std::string("Logins") : service + " logins") {}

CLoginThrottle::~CLoginThrottle() {
    try {
        MutexLock guard(lock);
        EndExpiredLocks(Clock::now());
        for (auto& entry : records)
            if (entry.second.lockLogged) LogEnd(entry.second, "lifted as the listener stopped");
    } catch (...) {
    }
}

void CLoginThrottle::LogEnd(Record& record, const char* how) {
    g_moduleLog.Write(prefix + " from " + record.who + ": lock " + how + "; " + std::to_string(record.refused) +
                      " login(s) refused while it held");
    record.lockLogged = false;
    record.refused = 0;
    --openLocks;
}

void CLoginThrottle::EndExpiredLocks(Clock::time_point now) {
    if (openLocks == 0) return;
    for (auto& entry : records)
        if (entry.second.lockLogged && now >= entry.second.lockedUntil) LogEnd(entry.second, "ended");
}

bool CLoginThrottle::IsLocked(const CClientAddress& client, const Policy& settings) {
    (void)settings;
    if (client.Classify() == CClientAddress::Network::Loopback) return false;
    MutexLock guard(lock);
    const Clock::time_point now = Clock::now();
    EndExpiredLocks(now);
    const auto it = records.find(client.ClientKey());
    if (it == records.end() || now >= it->second.lockedUntil) return false;
    ++it->second.refused;
    return true;
}

std::chrono::milliseconds CLoginThrottle::Failed(const CClientAddress& client, const Policy& settings) {
    MutexLock guard(lock);
    const Clock::time_point now = Clock::now();
    EndExpiredLocks(now);
    if (records.size() > kPruneAbove) Prune(now);
    Record& record = records[client.ClientKey()];
    if (record.lockedUntil != Clock::time_point{} && now >= record.lockedUntil) {
        record.failures = 0;  // a lock served starts the count again
        record.lockedUntil = {};
    }
    ++record.failures;
    record.last = now;
    if (record.failures >= settings.lockFailures && client.Classify() != CClientAddress::Network::Loopback) {
        record.lockedUntil = now + std::chrono::milliseconds(settings.lockMs);
        // A failure that raced past the check extends the lock without a second line.
        if (!record.lockLogged) {
            record.lockLogged = true;
            record.refused = 0;
            record.who = Describe(client);
            ++openLocks;
            g_moduleLog.Write(prefix + " from " + record.who + " locked for " +
                              std::to_string(settings.lockMs / 1000) + " s after " +
                              std::to_string(record.failures) + " failed logins in a row");
        }
    }
    const long long wait = std::min(static_cast<long long>(record.failures) * settings.failureStepMs,
                                    static_cast<long long>(settings.failureCapMs));
    return std::chrono::milliseconds(wait);
}

void CLoginThrottle::Succeeded(const CClientAddress& client) {
    MutexLock guard(lock);
    EndExpiredLocks(Clock::now());
    const auto it = records.find(client.ClientKey());
    if (it == records.end()) return;
    // A login checked just before the lock began may still succeed; it ends the lock.
    if (it->second.lockLogged) LogEnd(it->second, "lifted by a successful login");
    records.erase(it);
}

void CLoginThrottle::Prune(Clock::time_point now) {
    for (auto it = records.begin(); it != records.end();) {
        // Expired locks were logged as ended before this runs.
        if (!it->second.lockLogged && now >= it->second.lockedUntil && now - it->second.last > kForgetAfter)
            it = records.erase(it);
        else
            ++it;
    }
}
