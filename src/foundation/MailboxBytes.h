// MailboxBytes: the bytes of each folder's undeleted messages, kept as the
// Mails rows change instead of summed over them for every message.
//
// Delivery and a client's append check a mailbox's room against its limit
// for every message, twice per delivered one (at RCPT and when storing).
// Summed, that check reads every row of the folder, so it grew with the
// mailbox: an Inbox of thousands of messages paid for all of them on each
// new one. Table MailboxBytes holds one row per account and folder; row
// triggers on Mails (insert, delete, and an update of the account, folder,
// size or deleted mark) move the bytes in the same transaction as the
// change, whichever program or statement makes it, so the row always
// equals the sum it replaces. The table is derived: it is not among the
// catalogue's tables (a copy between databases rebuilds it through the
// target's triggers), and `velmora setup` recomputes it from Mails, which
// fills it for a home made before it existed and mends any drift.
#pragma once

#include <sql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class MailboxBytes {
public:
    // The table and its triggers, for the connected backend (SQLite or
    // PostgreSQL; none for another).
    static std::vector<std::string> Schema(SQLHDBC connection);
    // Sets every row to the sum it stands for, Mails held still meanwhile;
    // false, with the reason in error, when it could not.
    static bool Recompute(SQLHDBC connection, std::string& error);
    // The folder's undeleted bytes; nothing when this database does not keep
    // them (set up before the table existed: sum the rows instead) or the
    // row could not be read.
    static std::optional<std::uint64_t> Read(SQLHDBC connection, long accountId, int folder);
};
