// CSessionGate: the SMTP listener's admission.
#include "CSessionGate.h"

#include <algorithm>

std::uint32_t CSessionGate::CapForDescriptors(std::uint64_t descriptors, std::uint32_t hardMax) {
    const std::uint64_t spare = descriptors > kReservedDescriptors ? descriptors - kReservedDescriptors : 0;
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(spare / kDescriptorsPerSession, 1, hardMax));
}

void CSessionGate::SetLimits(std::uint32_t wanted, std::uint32_t descriptorCap, std::uint32_t clientShare) {
    MutexLock guard(lock);
    cap = std::max<std::uint32_t>(1, wanted == 0 ? descriptorCap : std::min(wanted, descriptorCap));
    reserve = cap / 10;
    perClient = std::max<std::uint32_t>(1, clientShare);
}

std::uint32_t CSessionGate::Cap() const {
    MutexLock guard(lock);
    return cap;
}

CSessionGate::Verdict CSessionGate::Admit(const CClientAddress& client) {
    MutexLock guard(lock);
    if (sessions >= cap) return Verdict::Full;
    // The reserve is for addresses without a session. Loopback is never
    // counted, so it always may use it: the engine's own notices come that way.
    if (sessions >= cap - reserve && clients.SessionsOf(client) > 0) return Verdict::Full;
    if (!clients.Admit(client, perClient)) return Verdict::AddressFull;
    ++sessions;
    return Verdict::Admitted;
}

void CSessionGate::Release(const CClientAddress& client) {
    MutexLock guard(lock);
    clients.Release(client);
    if (sessions > 0) --sessions;
}

bool CSessionGate::Crowded() const {
    MutexLock guard(lock);
    return std::uint64_t{sessions} * 4 > std::uint64_t{cap} * 3;
}
