// CAccountRows: single-column Accounts statements.
#include "foundation/CAccountRows.h"

#include <cstdlib>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

namespace {

constexpr std::size_t kMaxName = 255;

std::optional<std::string> OneText(SQLHDBC connection, const std::string& sql, std::size_t maxBytes,
                                   OdbcFailure* failure = nullptr) {
    OdbcStatement s(connection);
    std::string value;
    if (!s.ExecDirect(sql)) {
        OdbcFailure::Keep(s.Handle(), failure);
        return std::nullopt;
    }
    if (!s.Fetch() || !s.GetText(1, value)) return std::nullopt;
    if (value.size() > maxBytes) value.resize(maxBytes);
    return value;
}

}  // namespace

std::optional<std::string> CAccountRows::UserNameOf(SQLHDBC connection, long accountId) {
    return OneText(connection,
                   FormatSql("SELECT aUserName FROM Accounts WHERE aAccountId = %d", static_cast<int>(accountId)),
                   kMaxName);
}

std::optional<std::string> CAccountRows::StoredUserName(SQLHDBC connection, const std::string& userName,
                                                        OdbcFailure* failure) {
    return OneText(connection, FormatSql("SELECT aUserName FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName)),
                   kMaxName, failure);
}

std::optional<std::string> CAccountRows::MailBoxOf(SQLHDBC connection, const std::string& userName) {
    return OneText(connection, FormatSql("SELECT aMailBox FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName)),
                   kMaxName);
}

std::optional<std::string> CAccountRows::EmailIdOf(SQLHDBC connection, const std::string& userName) {
    return OneText(connection, FormatSql("SELECT EmailId FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName)),
                   320);
}

std::optional<CAccountRows::NameAndLimit> CAccountRows::NameAndReceiveLimit(SQLHDBC connection, long accountId) {
    OdbcStatement s(connection);
    if (!s.ExecDirect(FormatSql("SELECT aUserName,RecvMailSizeLimit FROM Accounts WHERE aAccountId = %d",
                                static_cast<int>(accountId))) ||
        !s.Fetch())
        return std::nullopt;
    NameAndLimit row;
    std::string limit;
    s.GetText(1, row.userName);
    s.GetText(2, limit);
    if (row.userName.size() > kMaxName) row.userName.resize(kMaxName);
    if (limit.size() > 20) limit.resize(20);
    row.receiveLimitKb = std::strtol(limit.c_str(), nullptr, 10);
    return row;
}

bool CAccountRows::AllEmailIds(SQLHDBC connection, std::vector<std::string>& addresses) {
    addresses.clear();
    OdbcStatement s(connection);
    if (!s.ExecDirect("SELECT EmailId FROM Accounts")) return false;
    while (s.Fetch()) {
        std::string address;
        if (s.GetText(1, address) && !address.empty()) addresses.push_back(std::move(address));
    }
    return true;
}
