// CLoginLockTable: failed logins and address locks per client, for every
// listener of the process (SMTP AUTH, POP3, IMAP) at once.
//
// Each server module is its own shared object with its own copy of the
// module kit, so a table kept there would be one per protocol and a guesser
// locked out of POP3 could go on through IMAP. The table lives here, in the
// engine the program exports, as g_loginLocks; the modules' CLoginThrottle
// keeps its records in it. Clients are known by their key (an IPv4 address
// or an IPv6 /64); the caller says whether the address is exempt from locks
// (loopback). The lock's start and end are logged once each, under the name
// of the service whose failure began it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "platform/MutexLock.h"

class CLoginLockTable {
public:
    using Clock = std::chrono::steady_clock;

    struct Policy {
        int failureStepMs = 1000;
        int failureCapMs = 5000;
        int lockFailures = 5;
        int lockMs = 60000;
    };

    CLoginLockTable() = default;
    CLoginLockTable(const CLoginLockTable&) = delete;
    CLoginLockTable& operator=(const CLoginLockTable&) = delete;

    // True while key is locked out; each true answer counts as one refused login.
    bool IsLocked(const std::string& key);
    // Counts a failure; the time to wait before answering it. prefix names
    // the service in the log ("POP3 logins"), who the address.
    std::chrono::milliseconds Failed(const std::string& key, bool exempt, const Policy& policy,
                                     const std::string& prefix, const std::string& who);
    void Succeeded(const std::string& key);
    // Logs the end of every lock still open ("lifted as the listener stopped").
    void EndAll(const char* how);

private:
    struct Record {
        int failures = 0;
        Clock::time_point lockedUntil{};
        Clock::time_point last{};
        bool lockLogged = false;  // the start was logged, the end is still to be
        std::uint64_t refused = 0;
        std::string who;
        std::string prefix;
    };
    void EndExpiredLocks(Clock::time_point now) REQUIRES(lock);
    void LogEnd(Record& record, const char* how) REQUIRES(lock);
    void Prune(Clock::time_point now) REQUIRES(lock);

    Mutex lock;  // the records and the count of open locks
    std::map<std::string, Record> records GUARDED_BY(lock);
    std::size_t openLocks GUARDED_BY(lock) = 0;
};

// The process's one table, shared by every server module.
extern CLoginLockTable g_loginLocks;
