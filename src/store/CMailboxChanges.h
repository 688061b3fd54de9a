// CMailboxChanges: the process-wide state every session of one account's
// mailbox shares: a change counter that moves whenever anything in any of
// its folders changes, and the lock under which the mailbox layer assigns
// UIDs and rewrites its rows.
//
// Writers bump the counter after their rows are in (delivery, the layer's
// own writes, the account object's purge and moves); sessions wait on it
// (IMAP IDLE) and read rows again only when it moved. The states live for
// the process: one small entry per account ever touched.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "platform/Mutex.h"

class CMailboxChanges {
public:
    // Something in the account's mailbox changed: wakes every waiter.
    // Returns the counter's new value.
    static std::uint64_t Bump(long accountId);
    static std::uint64_t Counter(long accountId);
    // Returns the counter once it differs from seen, once stopFd (when >= 0)
    // is readable, or after timeout. A waiter with a stop descriptor sleeps
    // in poll on it and on an event descriptor of its own that a bump
    // writes to, so an idle session costs no wake-ups.
    static std::uint64_t Wait(long accountId, std::uint64_t seen, std::chrono::milliseconds timeout, int stopFd);
    // The account's lock for the layer's row work: taken before any
    // database transaction starts, never inside one.
    static Mutex& Lock(long accountId);
};
