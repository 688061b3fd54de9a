// CLoginThrottle: failed POP3 logins per client address, shared by every
// session of the listener.
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
#include "CPop3Settings.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // True while the address is locked out.
    bool IsLocked(const CClientAddress& client, const CPop3Settings& settings);
    // Counts a failure; the time to wait before answering it.
    std::chrono::milliseconds Failed(const CClientAddress& client, const CPop3Settings& settings);
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
