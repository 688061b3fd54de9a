// CLoginThrottle: failed logins per client address, shared by every session
// of a listener (POP3 USER/PASS, SMTP AUTH).
//
// Each failure makes that login wait longer before its answer; an address
// that fails too often in a row is refused for a while. The machine itself
// (loopback: local tools, a webmail front end on the same host) is slowed
// down like any client but never locked, so a password guesser on the host
// cannot lock every local user out. IPv6 clients count per /64.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "CClientAddress.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // A failed login waits one step more per failure of its address, up to
    // the cap; the lockFailures-th failure in a row locks the address out
    // for lockMs (loopback is delayed but never locked).
    struct Policy {
        int failureStepMs = 1000;
        int failureCapMs = 5000;
        int lockFailures = 5;
        int lockMs = 60000;
    };

    // True while the address is locked out.
    bool IsLocked(const CClientAddress& client, const Policy& policy);
    // Counts a failure; the time to wait before answering it.
    std::chrono::milliseconds Failed(const CClientAddress& client, const Policy& policy);
    void Succeeded(const CClientAddress& client);

private:
    struct Record {
        int failures = 0;
        Clock::time_point lockedUntil{};
        Clock::time_point last{};
    };
    // Records of addresses quiet for an hour go, so the map stays small.
    void Prune(Clock::time_point now);

    std::mutex lock;
    std::map<std::string, Record> records;
};
