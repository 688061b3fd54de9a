// CClientCounter: sessions per client address.
#include "CClientCounter.h"

bool CClientCounter::IsExempt(const CClientAddress& client) {
    return client.Classify() == CClientAddress::Network::Loopback;
}

bool CClientCounter::Admit(const CClientAddress& client, std::uint32_t limit) {
    if (IsExempt(client)) return true;
    MutexLock guard(lock);
    std::uint32_t& count = sessions[client.ClientKey()];
    if (count >= limit) {
        if (count == 0) sessions.erase(client.ClientKey());
        return false;
    }
    ++count;
    return true;
}

void CClientCounter::Release(const CClientAddress& client) {
    if (IsExempt(client)) return;
    MutexLock guard(lock);
    const auto it = sessions.find(client.ClientKey());
    if (it == sessions.end()) return;
    if (--it->second == 0) sessions.erase(it);
}

std::uint32_t CClientCounter::SessionsOf(const CClientAddress& client) const {
    MutexLock guard(lock);
    const auto it = sessions.find(client.ClientKey());
    return it == sessions.end() ? 0 : it->second;
}
