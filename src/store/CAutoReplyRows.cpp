// CAutoReplyRows: the AutoResponder and AutoReplies statements.
#include "store/CAutoReplyRows.h"

#include "foundation/DateText.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/MutexLock.h"

std::optional<bool> CAutoReplyRows::IsOn(SQLHDBC connection, long accountId) {
    OdbcStatement statement(connection);
    unsigned char on = 0;
    SQLLEN indicator = 0;
    if (!statement.ExecDirect(FormatSql("SELECT AutoResponder FROM AutoResponder WHERE aAccountId = %ld", accountId)) ||
        !statement.BindBit(1, on, &indicator))
        return std::nullopt;
    return statement.Fetch();
}

bool CAutoReplyRows::TurnOn(SQLHDBC connection, long accountId) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("INSERT INTO AutoResponder VALUES(%ld,true)", accountId));
}

bool CAutoReplyRows::TurnOff(SQLHDBC connection, long accountId) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("DELETE FROM AutoResponder WHERE aAccountId = %ld", accountId));
}

bool CAutoReplyRows::Claim(SQLHDBC connection, long accountId, const std::string& recipient, std::time_t since,
                           std::time_t now) {
    static Mutex claiming;
    const MutexLock guard(claiming);
    const std::string sinceText = LocalDateTimeText(since);
    {
        OdbcStatement recent(connection);
        std::string count;
        if (!recent.ExecDirect(FormatSql("SELECT Count(*) FROM AutoReplies WHERE aAccountId = %ld AND Recipient = "
                                         "'%s' AND RepliedAt > cdate('%s')",
                                         accountId, SqlText::Quote(recipient), SqlText::Quote(sinceText))) ||
            !recent.Fetch() || !recent.GetText(1, count) || count != "0")
            return false;
    }
    {
        OdbcStatement old(connection);
        old.ExecDirect(FormatSql("DELETE FROM AutoReplies WHERE RepliedAt <= cdate('%s') OR (aAccountId = %ld AND "
                                 "Recipient = '%s')",
                                 SqlText::Quote(sinceText), accountId, SqlText::Quote(recipient)));
    }
    OdbcStatement record(connection);
    return record.ExecDirect(FormatSql("INSERT INTO AutoReplies VALUES (%ld, '%s', '%s')", accountId,
                                       SqlText::Quote(recipient), SqlText::Quote(LocalDateTimeText(now))));
}

void CAutoReplyRows::Release(SQLHDBC connection, long accountId, const std::string& recipient) {
    OdbcStatement statement(connection);
    statement.ExecDirect(FormatSql("DELETE FROM AutoReplies WHERE aAccountId = %ld AND Recipient = '%s'", accountId,
                                   SqlText::Quote(recipient)));
}
