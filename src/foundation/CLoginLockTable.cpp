// CLoginLockTable: the process-wide failed-login records (see the header).
#include "foundation/CLoginLockTable.h"

#include <algorithm>

#include "foundation/CModuleLog.h"

CLoginLockTable g_loginLocks;

namespace {
constexpr auto kForgetAfter = std::chrono::hours(1);
constexpr std::size_t kPruneAbove = 4096;
}  // namespace

void CLoginLockTable::LogEnd(Record& record, const char* how) {
    g_moduleLog.Write(record.prefix + " from " + record.who + ": lock " + how + "; " +
                      std::to_string(record.refused) + " login(s) refused while it held");
    record.lockLogged = false;
    record.refused = 0;
    --openLocks;
}

void CLoginLockTable::EndExpiredLocks(Clock::time_point now) {
    if (openLocks == 0) return;
    for (auto& entry : records)
        if (entry.second.lockLogged && now >= entry.second.lockedUntil) LogEnd(entry.second, "ended");
}

void CLoginLockTable::EndAll(const char* how) {
    MutexLock guard(lock);
    EndExpiredLocks(Clock::now());
    for (auto& entry : records)
        if (entry.second.lockLogged) LogEnd(entry.second, how);
}

bool CLoginLockTable::IsLocked(const std::string& key) {
    MutexLock guard(lock);
    const Clock::time_point now = Clock::now();
    EndExpiredLocks(now);
    const auto it = records.find(key);
    if (it == records.end() || now >= it->second.lockedUntil) return false;
    ++it->second.refused;
    return true;
}

std::chrono::milliseconds CLoginLockTable::Failed(const std::string& key, bool exempt, const Policy& policy,
                                                  const std::string& prefix, const std::string& who) {
    MutexLock guard(lock);
    const Clock::time_point now = Clock::now();
    EndExpiredLocks(now);
    if (records.size() > kPruneAbove) Prune(now);
    Record& record = records[key];
    if (record.lockedUntil != Clock::time_point{} && now >= record.lockedUntil) {
        record.failures = 0;  // a lock served starts the count again
        record.lockedUntil = {};
    }
    ++record.failures;
    record.last = now;
    if (record.failures >= policy.lockFailures && !exempt) {
        record.lockedUntil = now + std::chrono::milliseconds(policy.lockMs);
        // A failure that raced past the check extends the lock without a second line.
        if (!record.lockLogged) {
            record.lockLogged = true;
            record.refused = 0;
            record.who = who;
            record.prefix = prefix;
            ++openLocks;
            g_moduleLog.Write(prefix + " from " + who + " locked for " + std::to_string(policy.lockMs / 1000) +
                              " s after " + std::to_string(record.failures) + " failed logins in a row");
        }
    }
    const long long wait = std::min(static_cast<long long>(record.failures) * policy.failureStepMs,
                                    static_cast<long long>(policy.failureCapMs));
    return std::chrono::milliseconds(wait);
}

void CLoginLockTable::Succeeded(const std::string& key) {
    MutexLock guard(lock);
    EndExpiredLocks(Clock::now());
    const auto it = records.find(key);
    if (it == records.end()) return;
    // A login checked just before the lock began may still succeed; it ends the lock.
    if (it->second.lockLogged) LogEnd(it->second, "lifted by a successful login");
    records.erase(it);
}

void CLoginLockTable::Prune(Clock::time_point now) {
    for (auto it = records.begin(); it != records.end();) {
        if (!it->second.lockLogged && now >= it->second.lockedUntil && now - it->second.last > kForgetAfter)
            it = records.erase(it);
        else
            ++it;
    }
}
