// CLoginThrottle: failed logins per client address, shared by every session
// of a listener (POP3 USER/PASS, SMTP AUTH).
//
// Each failure makes that login wait longer before its answer; an address
// that fails too often in a row is refused for a while. The machine itself
// (loopback: local tools, a webmail front end on the same host) is slowed
// down like any client but never locked, so a password guesser on the host
// cannot lock every local user out. IPv6 clients count per /64.
//
// A lock writes two lines to the diagnostic log, one when it starts and one
// when it ends (with the logins it refused), however hard the address keeps
// trying meanwhile: a guesser must not be able to fill the log. The end is
// noticed at the throttle's next use, or when the throttle goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "CClientAddress.h"
#include "ModuleVisibility.h"
#include "platform/MutexLock.h"

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

    // service names the listener in the log lines ("POP3"); empty: none.
    explicit CLoginThrottle(std::string service = {});
    ~CLoginThrottle();
    CLoginThrottle(const CLoginThrottle&) = delete;
    CLoginThrottle& operator=(const CLoginThrottle&) = delete;

    // True while the address is locked out; each true answer counts as one
    // refused login.
    bool IsLocked(const CClientAddress& client, const Policy& policy);
    // Counts a failure; the time to wait before answering it.
    std::chrono::milliseconds Failed(const CClientAddress& client, const Policy& policy);
    void Succeeded(const CClientAddress& client);

private:
    struct Record {
        int failures = 0;
        Clock::time_point lockedUntil{};
        Clock::time_point last{};
        // The lock's start was logged and its end is still to be.
        bool lockLogged = false;
        std::uint64_t refused = 0;
        std::string who;  // the locked address as the log names it
    };
    // Logs the end of every lock that has run out; under the lock.
    void EndExpiredLocks(Clock::time_point now) REQUIRES(lock);
    void LogEnd(Record& record, const char* how) REQUIRES(lock);
    // Records of addresses quiet for an hour go, so the map stays small.
    void Prune(Clock::time_point now) REQUIRES(lock);

    std::string prefix;  // "POP3 logins" or "Logins"
    Mutex lock;  // the records and the count of open locks
    std::map<std::string, Record> records GUARDED_BY(lock);
    // Locks whose end is not yet logged, so that finding them stays cheap.
    std::size_t openLocks GUARDED_BY(lock) = 0;
};
