// CAccountRows: single-column Accounts statements.
#include "foundation/CAccountRows.h"

#include <cstdlib>

#include "foundation/AccountEditorCheck.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/RecordVersion.h"
#include "foundation/VersionedCache.h"
#include "platform/Text.h"

#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

namespace {

constexpr std::size_t kMaxName = 255;

// The number in the first row's first column; nothing when there is no row,
// the column is null or the statement could not run (the callers' defaults
// hold for all three).
std::optional<std::int32_t> FetchLong(SQLHDBC connection, const std::string& sql) {
    OdbcStatement statement(connection);
    if (!statement.Ok()) return std::nullopt;
    SQLLEN indicator = 0;
    std::int32_t fetched = 0;
    if (!statement.ExecDirect(sql) || !statement.BindLong(1, fetched, &indicator)) return std::nullopt;
    if (!statement.Fetch() || indicator == SQL_NULL_DATA) return std::nullopt;
    return fetched;
}

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

std::uint32_t CAccountRows::SendingLimit(SQLHDBC connection, const std::string& userName) {
    const std::optional<long> id = AccountIdByName(connection, userName);
    if (!id) return 0;
    const std::optional<std::int32_t> limit =
        FetchLong(connection, FormatSql("SELECT SendMailLimit from MailSizeControl WHERE aAccountId = %ld", *id));
    return limit && *limit > 0 ? static_cast<std::uint32_t>(*limit) : 0;
}

std::optional<bool> CAccountRows::MaySendOut(SQLHDBC connection, const std::string& userName) {
    bool failed = false;
    const std::optional<long> id = AccountIdByName(connection, userName, &failed);
    if (failed) {
        OdbcStatement probe(connection);
        if (!probe.Ok()) return std::nullopt;
    }
    if (!id) return true;
    const std::optional<std::int32_t> allowWrite =
        FetchLong(connection, FormatSql("SELECT aAllowWrite FROM AccessControl WHERE aAccountId = %ld", *id));
    return !allowWrite || *allowWrite != 0;
}

std::optional<long> CAccountRows::AccountIdByName(SQLHDBC connection, const std::string& userName, bool* failed) {
    // Names compare without regard to case (the column's collation), and an
    // unknown name is kept too: the sender of most mail has no account.
    static VersionedCache<std::string, std::optional<long>> known(4096);
    const std::optional<std::int64_t> version = RecordVersion::Read(connection);
    const std::string key = FoldCase(userName);
    if (version)
        if (std::optional<std::optional<long>> hit = known.Find(*version, key)) {
            if (failed) *failed = false;
            return *hit;
        }
    bool unread = true;
    const std::optional<long> id = ReadAccountId(connection, userName, &unread);
    if (failed) *failed = unread;
    if (version && !unread) known.Store(*version, key, id);
    return id;
}

std::optional<long> CAccountRows::ReadAccountId(SQLHDBC connection, const std::string& userName, bool* failed) {
    if (failed) *failed = true;
    OdbcPrepared statement(connection);
    std::int32_t id = 0;
    SQLLEN indicator = 0;
    if (!statement.Run("SELECT aAccountId FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName)) ||
        !statement.BindLong(1, id, &indicator))
        return std::nullopt;
    if (failed) *failed = false;
    if (!statement.Fetch() || indicator == SQL_NULL_DATA) return std::nullopt;
    return id;
}

CAccountRows::Presence CAccountRows::AccountExists(SQLHDBC connection, const std::string& userName) {
    bool failed = false;
    return AccountIdByName(connection, userName, &failed) ? Presence::Present : failed ? Presence::Unknown : Presence::Absent;
}

bool CAccountRows::IsOnlyAdministrator(SQLHDBC connection, const std::string& userName) {
    if (EqualsNoCase(userName, "postmaster")) return true;
    {
        OdbcStatement statement(connection);
        unsigned char admin = 0;
        if (!statement.ExecDirect(
                FormatSql("SELECT aIsAdmin FROM Accounts where aUserName = '%s'", SqlText::Quote(userName))) ||
            !statement.BindBit(1, admin) || !statement.Fetch() || !admin)
            return false;
    }
    OdbcStatement statement(connection);
    unsigned char admin = 0;
    if (!statement.ExecDirect("SELECT aIsAdmin FROM Accounts") || !statement.BindBit(1, admin)) return true;
    int administrators = 0;
    while (administrators < 2 && statement.Fetch())
        if (admin) ++administrators;
    return administrators < 2;
}

bool CAccountRows::ListAccounts(SQLHDBC connection, std::vector<AccountEntry>& accounts) {
    accounts.clear();
    OdbcStatement statement(connection);
    unsigned char admin = 0;
    // The bound flag comes first: the texts after it are read column by column.
    if (!statement.ExecDirect("SELECT aIsAdmin, aUserName, aPassword FROM Accounts") || !statement.BindBit(1, admin))
        return false;
    while (statement.Fetch()) {
        AccountEntry entry;
        std::string stored;
        if (!statement.GetText(2, entry.userName)) continue;
        statement.GetText(3, stored);
        entry.password = PasswordScrambler::Unscramble(entry.userName, stored);
        entry.isAdmin = admin != 0;
        accounts.push_back(std::move(entry));
    }
    return true;
}

bool CAccountRows::ReadAccessRights(SQLHDBC connection, long accountId, long& allowRead, long& allowWrite) {
    OdbcStatement statement(connection);
    std::uint32_t read = 1, write = 1;
    if (!statement.ExecDirect(
            FormatSql("SELECT aAllowRead,aAllowWrite FROM AccessControl where aAccountId = %ld", accountId)) ||
        !statement.BindULong(1, read) || !statement.BindULong(2, write) || !statement.Fetch())
        return false;
    allowRead = read ? 1 : 0;
    allowWrite = write ? 1 : 0;
    return true;
}

CAccountRows::ReadRight CAccountRows::ReadRightOf(SQLHDBC connection, long accountId) {
    // Always one row, so that no row and a failed read are told apart.
    OdbcStatement statement(connection);
    std::int32_t rows = 0, allowRead = 0;
    SQLLEN rowsIndicator = 0, readIndicator = 0;
    if (!statement.ExecDirect(FormatSql("SELECT Count(*), Min(aAllowRead) FROM AccessControl WHERE aAccountId = %ld",
                                        accountId)) ||
        !statement.BindLong(1, rows, &rowsIndicator) || !statement.BindLong(2, allowRead, &readIndicator) ||
        !statement.Fetch())
        return ReadRight::Unreadable;
    if (rows == 0) return ReadRight::NoRow;
    return readIndicator != SQL_NULL_DATA && allowRead != 0 ? ReadRight::Allowed : ReadRight::Denied;
}

CAccountRows::LoginResult CAccountRows::StoredPassword(SQLHDBC connection, const std::string& userName,
                                                         std::string& password) {
    password.clear();
    OdbcStatement statement(connection);
    char stored[PasswordScrambler::kMaxStoredSize] = {};
    unsigned char admin = 0;
    if (!statement.ExecDirect(
            FormatSql("SELECT aPassword, aIsAdmin FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName))) ||
        !statement.BindChar(1, stored, sizeof stored) || !statement.BindBit(2, admin))
        return LoginResult::Failed;
    if (!statement.Fetch()) return LoginResult::UnknownName;
    password = PasswordScrambler::Unscramble(userName, stored);
    return admin ? LoginResult::Administrator : LoginResult::User;
}

CAccountRows::LoginResult CAccountRows::CheckLogin(SQLHDBC connection, const std::string& userName,
                                                     const std::string& password) {
    std::string stored;
    const LoginResult result = StoredPassword(connection, userName, stored);
    if (result != LoginResult::Administrator && result != LoginResult::User) return result;
    if (password.empty() || stored != password) return LoginResult::WrongPassword;
    return result;
}

const char* CAccountRows::LoginMessage(LoginResult result) {
    switch (result) {
        case LoginResult::Failed:
            return "Could not Login";
        case LoginResult::UnknownName:
            return "Invalid Login name";
        case LoginResult::WrongPassword:
            return "Invalid Password";
        case LoginResult::Administrator:
            return "You have successfully logged in as Administrator";
        case LoginResult::User:
            return "You have successfully logged in as User";
    }
    return "Could not Login";
}

std::string CAccountRows::BareAddress(const std::string& email) {
    std::string_view bare = email;
    const std::size_t open = bare.rfind('<');
    if (open != std::string_view::npos) {
        bare.remove_prefix(open + 1);
        bare = bare.substr(0, bare.find('>'));
    }
    return FoldCase(std::string(Trim(bare)));
}

std::vector<long> CAccountRows::AccountsWithAddress(SQLHDBC connection, const std::string& address) {
    std::vector<long> ids;
    const std::string wanted = BareAddress(address);
    if (wanted.empty() || wanted.size() > AccountEditorCheck::kMaxEmail) return ids;
    // The pattern narrows to the rows holding the address somewhere; the
    // comparison of the bare addresses decides.
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("SELECT aAccountId, EmailId FROM Accounts WHERE lower(EmailId) LIKE "
                                        "'%%%s%%' ESCAPE '!' ORDER BY aAccountId",
                                        SqlText::QuoteLikePart(wanted))))
        return ids;
    std::uint32_t id = 0;
    std::string email;
    if (!statement.BindULong(1, id)) return ids;
    while (statement.Fetch())
        if (statement.GetText(2, email) && BareAddress(email) == wanted) ids.push_back(static_cast<long>(id));
    return ids;
}

bool CAccountRows::TakeSessionFlag(SQLHDBC connection, long accountId) {
    {
        OdbcStatement statement(connection);
        unsigned char logged = 1;
        if (!statement.ExecDirect(FormatSql("SELECT aLogged FROM ACCOUNTS WHERE aAccountId = %ld", accountId)) ||
            !statement.BindBit(1, logged) || !statement.Fetch() || logged)
            return false;
    }
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("UPDATE ACCOUNTS SET aLogged = True where aAccountId = %ld", accountId));
}

bool CAccountRows::ReleaseSessionFlag(SQLHDBC connection, long accountId) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("UPDATE ACCOUNTS SET aLogged = False where aAccountId = %ld", accountId));
}

bool CAccountRows::GroupMembers(SQLHDBC connection, long accountId, std::vector<long>& members) {
    members.clear();
    OdbcStatement statement(connection);
    std::int32_t id = 0;
    SQLLEN indicator = 0;
    if (!statement.ExecDirect(FormatSql("SELECT aAccountId FROM Groups WHERE iGroupId = (select iGroupId "
                                        "from Intergroup where aAccountId=%ld)",
                                        accountId)) ||
        !statement.BindLong(1, id, &indicator))
        return false;
    while (statement.Fetch())
        if (indicator != SQL_NULL_DATA) members.push_back(id);
    return true;
}
