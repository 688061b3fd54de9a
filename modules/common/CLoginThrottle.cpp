// CLoginThrottle: failed-login delays and address locks (see the header).
#include "CLoginThrottle.h"

#include <algorithm>

namespace {
constexpr auto kForgetAfter = std::chrono::hours(1);
constexpr std::size_t kPruneAbove = 4096;
}  // namespace

bool CLoginThrottle::IsLocked(const CClientAddress& client, const Policy& settings) {
    (void)settings;
    if (client.Classify() == CClientAddress::Network::Loopback) return false;
    std::lock_guard<std::mutex> guard(lock);
    const auto it = records.find(client.ClientKey());
    return it != records.end() && Clock::now() < it->second.lockedUntil;
}

std::chrono::milliseconds CLoginThrottle::Failed(const CClientAddress& client, const Policy& settings) {
    std::lock_guard<std::mutex> guard(lock);
    const Clock::time_point now = Clock::now();
    if (records.size() > kPruneAbove) Prune(now);
    Record& record = records[client.ClientKey()];
    if (record.lockedUntil != Clock::time_point{} && now >= record.lockedUntil) {
        record.failures = 0;  // a lock served starts the count again
        record.lockedUntil = {};
    }
    ++record.failures;
    record.last = now;
    if (record.failures >= settings.lockFailures && client.Classify() != CClientAddress::Network::Loopback)
        record.lockedUntil = now + std::chrono::milliseconds(settings.lockMs);
    const long long wait = std::min(static_cast<long long>(record.failures) * settings.failureStepMs,
                                    static_cast<long long>(settings.failureCapMs));
    return std::chrono::milliseconds(wait);
}

void CLoginThrottle::Succeeded(const CClientAddress& client) {
    std::lock_guard<std::mutex> guard(lock);
    records.erase(client.ClientKey());
}

void CLoginThrottle::Prune(Clock::time_point now) {
    for (auto it = records.begin(); it != records.end();) {
        if (now >= it->second.lockedUntil && now - it->second.last > kForgetAfter)
            it = records.erase(it);
        else
            ++it;
    }
}
