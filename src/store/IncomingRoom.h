// IncomingRoom: what an account's mailbox takes now, by the one rule both
// delivery and a client's append apply: the receive limit, and the room the
// Inbox's undeleted messages leave under the mailbox limit (bytes; no limit
// is the largest value). A message larger than the whole mailbox limit
// never fits, however much is deleted: a verdict of its own, so that only a
// short room is worth another try.
#pragma once

#include <sql.h>

#include <cstdint>
#include <limits>
#include <string>

namespace mailstore {

struct IncomingRoom {
    enum class Verdict { Fits, OverReceiveLimit, OverMailboxLimit, MailboxFull };
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t receiveLimit = kUnlimited;
    std::uint64_t mailboxLimit = kUnlimited;
    std::uint64_t mailboxRoom = kUnlimited;
    Verdict Check(std::uint64_t size) const {
        if (size > receiveLimit) return Verdict::OverReceiveLimit;
        if (size > mailboxLimit) return Verdict::OverMailboxLimit;
        return size > mailboxRoom ? Verdict::MailboxFull : Verdict::Fits;
    }
    // From the limits in kilobytes (0: none) and the bytes the Inbox holds.
    static IncomingRoom FromLimits(std::uint64_t receiveLimitKb, std::uint64_t mailboxLimitKb, std::uint64_t used);
    // A group (its members have their own limits) and the task account
    // store nothing in a mailbox of their own: no limit.
    static bool Exempt(bool isGroup, const std::string& userName) { return isGroup || userName == "procmgr"; }
};

// Bytes of the folder's undeleted messages; 0 on failure.
std::uint64_t UndeletedFolderBytes(SQLHDBC connection, long accountId, int folder);

// The room of the account, its limits read now from the database.
IncomingRoom ReadIncomingRoom(SQLHDBC connection, long accountId);

}  // namespace mailstore
