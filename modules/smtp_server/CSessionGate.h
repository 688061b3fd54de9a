// CSessionGate: which clients the SMTP listener takes, over all its ports.
//
// The cap on sessions follows from the descriptors the process may hold
// (each session holds its socket and, while data arrives, a spool file),
// leaving room for the database, the logs and the other modules, and an
// administrator's setting may lower it. One address holds at most its
// share (CClientCounter). The last tenth of the cap is kept for addresses
// that hold no session yet, so that a few busy addresses cannot fill the
// listener against everybody else; and once more than three quarters of it
// are in use the sessions tell idle clients that never sent MAIL to go
// sooner (Crowded).
#pragma once

#include <cstdint>

#include "CClientCounter.h"
#include "ModuleVisibility.h"
#include "platform/MutexLock.h"

class MODULE_LOCAL CSessionGate {
public:
    enum class Verdict {
        Admitted,     // the client holds one more session until Release
        Full,         // the listener is full, or full but for the reserve
        AddressFull,  // the client holds its share already
    };

    // Descriptors kept for everything but the sessions, and each session's.
    static constexpr std::uint64_t kReservedDescriptors = 512;
    static constexpr std::uint64_t kDescriptorsPerSession = 2;

    // The cap the descriptor limit allows, between 1 and hardMax.
    static std::uint32_t CapForDescriptors(std::uint64_t descriptors, std::uint32_t hardMax);

    // wanted 0 takes the whole cap the descriptors allow.
    void SetLimits(std::uint32_t wanted, std::uint32_t descriptorCap, std::uint32_t perClient);
    std::uint32_t Cap() const;

    Verdict Admit(const CClientAddress& client);
    void Release(const CClientAddress& client);
    // More than three quarters of the cap in use.
    bool Crowded() const;

private:
    mutable Mutex lock;  // the limits and the session count (the counter locks itself)
    CClientCounter clients;
    std::uint32_t cap GUARDED_BY(lock) = 1;
    std::uint32_t reserve GUARDED_BY(lock) = 0;
    std::uint32_t perClient GUARDED_BY(lock) = 1;
    std::uint32_t sessions GUARDED_BY(lock) = 0;
};
