// CRemoteServerAccounts: loading and administering RemoteServerAccounts.
#include "foundation/CRemoteServerAccounts.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/CFetchedUidls.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"

namespace {

// The driver answers a yes/no column as "1"/"0" or "true"/"false" by dialect.
bool IsYes(const std::string& text) {
    return !text.empty() && text != "0" && !EqualsNoCase(text, "false");
}

SqlTrusted YesNo(bool on) {
    return on ? SqlTrusted("true") : SqlTrusted("false");
}

std::string Cut(std::string text, std::size_t width) {
    if (text.size() > width) text.resize(width);
    return text;
}

}  // namespace

bool CRemoteServerAccounts::Load() {
    accounts.clear();
    OdbcStatement statement(connection);
    // Columns in the table's order: ServerName, aUserName, UserId, Pass,
    // LeaveMailOnServer, ServerAddr, Alias, LastMailId, AliasAddress, Port.
    if (!statement.ExecDirect("SELECT * FROM RemoteServerAccounts")) return false;
    while (statement.Fetch()) {
        std::string text[10];
        for (SQLUSMALLINT c = 0; c < 10; ++c) statement.GetText(static_cast<SQLUSMALLINT>(c + 1), text[c]);
        Account account;
        account.serverName = text[0];
        account.userName = Cut(text[1], kMaxUserName);
        account.userId = Cut(text[2], kMaxUserName);
        account.pass = Cut(text[3], kMaxUserName);
        account.leaveMailOnServer = IsYes(text[4]);
        account.serverAddr = Cut(text[5], kMaxServer);
        account.alias = IsYes(text[6]);
        account.lastMailId = Cut(text[7], kMaxServer);
        account.aliasAddress = Cut(text[8], kMaxAliasAddress);
        account.port = std::strtol(text[9].c_str(), nullptr, 10);
        accounts.push_back(std::move(account));
    }
    return true;
}

const CRemoteServerAccounts::Account* CRemoteServerAccounts::Find(const std::string& serverName) const {
    const auto it =
        std::find_if(accounts.begin(), accounts.end(), [&](const Account& a) { return a.serverName == serverName; });
    return it == accounts.end() ? nullptr : &*it;
}

bool CRemoteServerAccounts::Add(const Account& a) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(
        FormatSql("INSERT INTO RemoteServerAccounts VALUES ( '%s', '%s', '%s', '%s', %s, '%s', %s, '','%s',%ld)",
                  SqlText::Quote(a.serverName), SqlText::Quote(a.userName), SqlText::Quote(a.userId),
                  SqlText::Quote(a.pass), YesNo(a.leaveMailOnServer), SqlText::Quote(a.serverAddr), YesNo(a.alias),
                  SqlText::Quote(a.aliasAddress), a.port));
}

bool CRemoteServerAccounts::Delete(const std::string& serverName, long* removed) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(
            FormatSql("DELETE FROM RemoteServerAccounts WHERE ServerName = '%s'", SqlText::Quote(serverName))))
        return false;
    if (removed) *removed = static_cast<long>(statement.RowCount());
    // A later account of the same name must not inherit what this one fetched.
    CFetchedUidls::Key key;
    key.kind = CFetchedUidls::Kind::Remote;
    key.serverName = serverName;
    return CFetchedUidls::Forget(connection, key);
}

bool CRemoteServerAccounts::SetFlag(const std::string& serverName, FlagColumn column, bool on) {
    OdbcStatement statement(connection);
    const SqlTrusted name = column == FlagColumn::Alias ? SqlTrusted("Alias") : SqlTrusted("LeaveMailOnServer");
    return statement.ExecDirect(FormatSql("UPDATE RemoteServerAccounts SET %s = %s WHERE ServerName = '%s'", name,
                                          YesNo(on), SqlText::Quote(serverName)));
}

bool CRemoteServerAccounts::SetText(const std::string& serverName, TextColumn column, const std::string& value) {
    SqlTrusted name = SqlTrusted("aUserName");
    switch (column) {
        case TextColumn::UserName:
            break;
        case TextColumn::UserId:
            name = SqlTrusted("UserId");
            break;
        case TextColumn::Pass:
            name = SqlTrusted("Pass");
            break;
        case TextColumn::ServerAddr:
            name = SqlTrusted("ServerAddr");
            break;
        case TextColumn::AliasAddress:
            name = SqlTrusted("AliasAddress");
            break;
    }
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("UPDATE RemoteServerAccounts SET %s = '%s' WHERE ServerName = '%s'", name,
                                          SqlText::Quote(value), SqlText::Quote(serverName)));
}

bool CRemoteServerAccounts::SetPort(const std::string& serverName, long port) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("UPDATE RemoteServerAccounts SET Port = %ld WHERE ServerName = '%s'", port,
                                          SqlText::Quote(serverName)));
}

bool CRemoteServerAccounts::IsPlainValue(const std::string& value, std::size_t width) {
    if (value.empty() || value.size() > width) return false;
    for (char c : value)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
    return true;
}

bool CRemoteServerAccounts::LoadForDownload(SQLHDBC connection, std::vector<Account>& accounts,
                                            OdbcFailure* failure) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT aUserName, UserId,Pass, ServerAddr, LeaveMailOnServer, Alias, LastMailId, "
                              "AliasAddress, Port, ServerName FROM RemoteServerAccounts")) {
        OdbcFailure::Keep(statement.Handle(), failure);
        return false;
    }
    while (statement.Fetch()) {
        std::string text[10];
        for (SQLUSMALLINT c = 0; c < 10; ++c) statement.GetText(static_cast<SQLUSMALLINT>(c + 1), text[c]);
        Account account;
        account.userName = Cut(text[0], kMaxUserName);
        account.userId = Cut(text[1], kMaxUserName);
        account.pass = Cut(text[2], kMaxUserName);
        account.serverAddr = Cut(text[3], kMaxServer);
        account.leaveMailOnServer = IsYes(text[4]);
        account.alias = IsYes(text[5]);
        account.lastMailId = Cut(text[6], kMaxServer);
        account.aliasAddress = Cut(text[7], kMaxAliasAddress);
        account.port = std::strtol(text[8].c_str(), nullptr, 10);
        account.serverName = Cut(text[9], kMaxServer);
        accounts.push_back(std::move(account));
    }
    return true;
}

bool CRemoteServerAccounts::StoreLastMailId(SQLHDBC connection, const std::string& userName,
                                            const std::string& userId, const std::string& lastMailId,
                                            OdbcFailure* failure) {
    OdbcStatement statement(connection);
    if (statement.ExecDirect(
            FormatSql("UPDATE RemoteServerAccounts SET LastMailId = '%s' WHERE aUserName = '%s' AND UserId = '%s'",
                      SqlText::Quote(lastMailId), SqlText::Quote(userName), SqlText::Quote(userId))))
        return true;
    OdbcFailure::Keep(statement.Handle(), failure);
    return false;
}
