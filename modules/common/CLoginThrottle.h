// CLoginThrottle: failed logins per client address, as a listener's
// sessions see them (POP3 USER/PASS, SMTP AUTH, IMAP LOGIN).
//
// Each failure makes that login wait longer before its answer; an address
// that fails too often in a row is refused for a while. The machine itself
// (loopback: local tools, a webmail front end on the same host) is slowed
// down like any client but never locked, so a password guesser on the host
// cannot lock every local user out. IPv6 clients count per /64.
//
// The records live in a CLoginLockTable: the listeners pass the process's
// one table (g_loginLocks), so that an address locked through one protocol
// is locked for all; a throttle made without one keeps its own (tests,
// fuzzing). A lock writes two lines to the diagnostic log, one when it
// starts and one when it ends: a guesser must not be able to fill the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "CClientAddress.h"
#include "ModuleVisibility.h"
#include "foundation/CLoginLockTable.h"

class MODULE_LOCAL CLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // A failed login waits one step more per failure of its address, up to
    // the cap; the lockFailures-th failure in a row locks the address out
    // for lockMs (loopback is delayed but never locked).
    using Policy = CLoginLockTable::Policy;

    // service names the listener in the log lines ("POP3"); empty: none.
    // table: where the records live; null: the throttle's own.
    explicit CLoginThrottle(std::string service = {}, CLoginLockTable* table = nullptr);
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
    std::string prefix;  // "POP3 logins" or "Logins"
    CLoginLockTable own;
    CLoginLockTable* table;
};
