// IncomingRoom: the mailbox limits rule and the reading of its data.
#include "store/IncomingRoom.h"

#include "foundation/MailboxBytes.h"
#include "foundation/OdbcPrepared.h"

namespace mailstore {

IncomingRoom IncomingRoom::FromLimits(std::uint64_t receiveLimitKb, std::uint64_t mailboxLimitKb,
                                      std::uint64_t used) {
    IncomingRoom room;
    // A message of exactly the limit fits.
    if (receiveLimitKb != 0) room.receiveLimit = receiveLimitKb * 1024;
    if (mailboxLimitKb != 0) {
        room.mailboxLimit = mailboxLimitKb * 1024;
        room.mailboxRoom = used < room.mailboxLimit ? room.mailboxLimit - used : 0;
    }
    return room;
}

std::uint64_t UndeletedFolderBytes(SQLHDBC connection, long accountId, int folder) {
    if (const std::optional<std::uint64_t> kept = MailboxBytes::Read(connection, accountId, folder)) return *kept;
    // A database set up before the sizes were kept: summed.
    OdbcPrepared statement(connection);
    if (!statement.Run("SELECT sum(mMailSize) FROM Mails WHERE aAccountId = %ld and mDeleted=0 and mFolderId=%d",
                       accountId, folder))
        return 0;
    // 64 bits: a large mailbox must not wrap round below its quota.
    std::int64_t total = 0;
    SQLLEN indicator = 0;
    if (!statement.BindBigInt(1, total, &indicator) || !statement.Fetch() || indicator == SQL_NULL_DATA || total < 0)
        return 0;
    return static_cast<std::uint64_t>(total);
}

IncomingRoom ReadIncomingRoom(SQLHDBC connection, long accountId) {
    {
        OdbcPrepared statement(connection);
        std::string name;
        unsigned char group = 0;
        if (statement.Run("SELECT aIsGroup, aUserName FROM Accounts WHERE aAccountId = %ld", accountId) &&
            statement.BindBit(1, group) && statement.Fetch() && statement.GetText(2, name) &&
            IncomingRoom::Exempt(group != 0, name))
            return IncomingRoom();
    }
    std::uint32_t box = 0, receive = 0;
    {
        OdbcPrepared statement(connection);
        if (!statement.Run("SELECT MailboxLimit,RecvmailLimit from MailSizeControl WHERE aAccountId = %ld",
                           accountId) ||
            !statement.BindULong(1, box) || !statement.BindULong(2, receive) || !statement.Fetch()) {
            box = 0;
            receive = 0;
        }
    }
    const std::uint64_t used = box != 0 ? UndeletedFolderBytes(connection, accountId, 1) : 0;
    return IncomingRoom::FromLimits(receive, box, used);
}

}  // namespace mailstore
