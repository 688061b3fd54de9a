// CMappedAccounts: the POPACCOUNTS statements of the administration.
#include "store/CMappedAccounts.h"

#include <cstdlib>

#include "foundation/OdbcStatement.h"
#include "foundation/CFetchedUidls.h"
#include "foundation/SqlFormat.h"

namespace {

bool YesNo(const std::string& value) {
    return !value.empty() && value != "0" && value != "false" && value != "FALSE";
}

// Column bounds of the rows the download reads.
constexpr std::size_t kMaxLastId = 101;

// " and serveraddr <> '...'" for each excluded server, after "where".
std::string ExcludedServers(const std::vector<std::string>& servers) {
    std::string text;
    for (const std::string& server : servers) {
        if (!text.empty()) text += " and ";
        text += FormatSql("serveraddr <> '%s'", SqlText::Quote(server));
    }
    return text.empty() ? "1 = 1" : text;
}

std::string Column(OdbcStatement& statement, SQLUSMALLINT column, std::size_t maxBytes) {
    std::string value;
    if (!statement.GetText(column, value)) return {};
    if (value.size() > maxBytes) value.resize(maxBytes);
    return value;
}

}  // namespace

bool CMappedAccounts::IsValidValue(const std::string& value, std::size_t maxBytes, bool blanksAllowed) {
    if (value.empty() || value.size() > maxBytes) return false;
    for (const char c : value)
        if (c < (blanksAllowed ? 0x20 : 0x21) || c > 0x7E) return false;
    return true;
}

long CMappedAccounts::Count(SQLHDBC connection, long accountId, const std::string& server,
                            const std::string& remoteUser) {
    OdbcStatement statement(connection);
    std::string count;
    if (!statement.ExecDirect(
            FormatSql("SELECT count(*) FROM POPACCOUNTS WHERE aAccountId = %ld AND UserId = '%s' AND ServerAddr = '%s'",
                      accountId, SqlText::Quote(remoteUser), SqlText::Quote(server))) ||
        !statement.Fetch() || !statement.GetText(1, count))
        return -1;
    return std::strtol(count.c_str(), nullptr, 10);
}

CMappedAccounts::Change CMappedAccounts::Add(SQLHDBC connection, long accountId, const Entry& entry,
                                             const std::string& password) {
    const long present = Count(connection, accountId, entry.server, entry.remoteUser);
    if (present < 0) return Change::Failed;
    if (present > 0) return Change::NothingToDo;
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("INSERT INTO POPACCOUNTS VALUES(%ld,'%s','%s','%s','0',%d,%ld,%d)", accountId,
                                          SqlText::Quote(entry.remoteUser), SqlText::Quote(password),
                                          SqlText::Quote(entry.server), entry.leaveOnServer ? 1 : 0,
                                          static_cast<long>(entry.port), entry.enabled ? 1 : 0))
               ? Change::Made
               : Change::Failed;
}

bool CMappedAccounts::List(SQLHDBC connection, long accountId, std::vector<Entry>& entries) {
    entries.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("SELECT ServerAddr,UserId,Port,IsLeaveMailOnServer,Enable,LastMailId FROM "
                                        "POPACCOUNTS WHERE aAccountId = %ld ORDER BY ServerAddr,UserId",
                                        accountId)))
        return false;
    while (statement.Fetch()) {
        Entry entry;
        std::string port, leave, enabled;
        statement.GetText(1, entry.server);
        statement.GetText(2, entry.remoteUser);
        statement.GetText(3, port);
        statement.GetText(4, leave);
        statement.GetText(5, enabled);
        statement.GetText(6, entry.lastMailId);
        entry.port = static_cast<int>(std::strtol(port.c_str(), nullptr, 10));
        entry.leaveOnServer = YesNo(leave);
        entry.enabled = YesNo(enabled);
        entries.push_back(std::move(entry));
    }
    return true;
}

CMappedAccounts::Change CMappedAccounts::Delete(SQLHDBC connection, long accountId, const std::string& server,
                                                const std::string& remoteUser) {
    const long present = Count(connection, accountId, server, remoteUser);
    if (present < 0) return Change::Failed;
    if (present == 0) return Change::NothingToDo;
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(
            FormatSql("DELETE FROM POPACCOUNTS WHERE aAccountId = %ld AND UserId = '%s' AND ServerAddr = '%s'",
                      accountId, SqlText::Quote(remoteUser), SqlText::Quote(server))))
        return Change::Failed;
    // The same mapping added again starts afresh.
    CFetchedUidls::Key key;
    key.accountId = accountId;
    key.server = server;
    key.remoteUser = remoteUser;
    return CFetchedUidls::Forget(connection, key) ? Change::Made : Change::Failed;
}

CMappedAccounts::Change CMappedAccounts::SetEnabled(SQLHDBC connection, long accountId, const std::string& server,
                                                    const std::string& remoteUser, bool enabled) {
    const long present = Count(connection, accountId, server, remoteUser);
    if (present < 0) return Change::Failed;
    if (present == 0) return Change::NothingToDo;
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("UPDATE POPACCOUNTS SET Enable = %d WHERE aAccountId = %ld AND UserId = "
                                          "'%s' AND ServerAddr = '%s'",
                                          enabled ? 1 : 0, accountId, SqlText::Quote(remoteUser),
                                          SqlText::Quote(server)))
               ? Change::Made
               : Change::Failed;
}

bool CMappedAccounts::AccountsWithMappings(SQLHDBC connection, const std::vector<std::string>& excludedServers,
                                           std::vector<long>& accountIds) {
    accountIds.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT DISTINCT aAccountId FROM POPACCOUNTS where " + ExcludedServers(excludedServers)))
        return false;
    while (statement.Fetch()) accountIds.push_back(std::strtol(Column(statement, 1, 20).c_str(), nullptr, 10));
    return true;
}

bool CMappedAccounts::EnabledFetchRows(SQLHDBC connection, long accountId,
                                       const std::vector<std::string>& excludedServers, std::vector<FetchRow>& rows) {
    rows.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(
            FormatSql("SELECT USERID,PASS,SERVERADDR,LASTMAILID,ISLEAVEMAILONSERVER,PORT FROM POPACCOUNTS WHERE "
                      "aAccountId = %ld and Enable =true and ",
                      accountId) +
            ExcludedServers(excludedServers)))
        return false;
    while (statement.Fetch()) {
        FetchRow row;
        row.remoteUser = Column(statement, 1, kMaxRemoteUser);
        row.password = Column(statement, 2, kMaxPassword);
        row.server = Column(statement, 3, kMaxServer);
        row.lastMailId = Column(statement, 4, kMaxLastId);
        row.leaveOnServer = YesNo(Column(statement, 5, 10));
        row.port = static_cast<int>(std::strtol(Column(statement, 6, 20).c_str(), nullptr, 10));
        rows.push_back(std::move(row));
    }
    return true;
}

bool CMappedAccounts::StoreLastMailId(SQLHDBC connection, long accountId, const std::string& remoteUser,
                                      const std::string& server, const std::string& lastMailId) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql(
        "UPDATE PopAccounts SET LastMailId = '%s' WHERE aAccountId = %ld AND UserId = '%s' AND "
        "SERVERADDR='%s'",
        SqlText::Quote(lastMailId), accountId, SqlText::Quote(remoteUser), SqlText::Quote(server)));
}
