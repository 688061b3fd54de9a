// CClientCounter: how many sessions each client address holds, so that no
// single client can take every session the server has.
//
// Loopback is the machine itself (the engine re-injects its own notices
// through it) and is never limited. IPv6 clients count per /64.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "CClientAddress.h"
#include "ModuleVisibility.h"
#include "platform/MutexLock.h"

class MODULE_LOCAL CClientCounter {
public:
    // True when the client holds fewer than limit sessions; it then holds one
    // more, until Release.
    bool Admit(const CClientAddress& client, std::uint32_t limit);
    void Release(const CClientAddress& client);
    std::uint32_t SessionsOf(const CClientAddress& client) const;

private:
    static bool IsExempt(const CClientAddress& client);

    mutable Mutex lock;  // the sessions per client
    std::map<std::string, std::uint32_t> sessions GUARDED_BY(lock);
};
