// CMailDatabase: connection, account look-ups and administration, login
// check, relay ranges and ids.
#include "foundation/CMailDatabase.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/CFetchedUidls.h"
#include "foundation/CModuleLog.h"
#include "foundation/CRemoteServerAccounts.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/RecordVersion.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "foundation/VersionedCache.h"
#include "platform/Text.h"

namespace {

std::atomic<LocalAccountFactory> g_accountFactory{nullptr};
std::atomic<MailStoreMaker> g_storeMaker{nullptr};

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

}  // namespace

CMailDatabase::CMailDatabase() = default;

CMailDatabase::~CMailDatabase() {
    remoteAccounts.reset();
    voiceAccounts.reset();
    Disconnect();
}

void CMailDatabase::SetLocalAccountFactory(LocalAccountFactory factory) {
    g_accountFactory.store(factory);
}

std::uint32_t CMailDatabase::SendingLimit(SQLHDBC connection, const std::string& userName) {
    const std::optional<long> id = AccountIdByName(connection, userName);
    if (!id) return 0;
    const std::optional<std::int32_t> limit =
        FetchLong(connection, FormatSql("SELECT SendMailLimit from MailSizeControl WHERE aAccountId = %ld", *id));
    return limit && *limit > 0 ? static_cast<std::uint32_t>(*limit) : 0;
}

std::optional<bool> CMailDatabase::MaySendOut(SQLHDBC connection, const std::string& userName) {
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

void CMailDatabase::SetMailStoreMaker(MailStoreMaker maker) {
    g_storeMaker.store(maker);
}

CLocalAccount* CMailDatabase::MakeAccount(long accountId) {
    LocalAccountFactory factory = g_accountFactory.load();
    return factory ? factory(this, GetConnectionHandle(), accountId) : nullptr;
}

bool CMailDatabase::Open() {
    bool connected = Connect();
    OdbcStatement reset(GetConnectionHandle());
    reset.ExecDirect("UPDATE Accounts SET aLogged = false WHERE aLogged = true");
    return connected;
}

bool CMailDatabase::Connect() {
    Disconnect();
    environment = std::make_unique<OdbcEnvironment>();
    if (!environment->Ok()) return false;
    connection = std::make_unique<OdbcConnection>();
    if (!connection->Allocate(*environment)) {
        g_moduleLog.Write("*** Database connection failed...");
        return false;
    }
    return connection->Connect();
}

bool CMailDatabase::Disconnect() {
    // Connection before environment: the handle order ODBC requires.
    connection.reset();
    environment.reset();
    return true;
}

SQLHDBC CMailDatabase::GetConnectionHandle() {
    return connection ? connection->Handle() : SQL_NULL_HDBC;
}

long CMailDatabase::QueryId(const std::string& sql) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(sql)) return -1;
    std::uint32_t id = 0;
    if (!statement.BindULong(1, id) || !statement.Fetch()) return -1;
    return static_cast<long>(id);
}

CLocalAccount* CMailDatabase::GetAccountById(long accountId) {
    long id = QueryId(FormatSql("SELECT aAccountId FROM Accounts WHERE aAccountId = %ld", accountId));
    return id < 0 ? nullptr : MakeAccount(id);
}

std::optional<long> CMailDatabase::AccountIdByName(SQLHDBC connection, const std::string& userName, bool* failed) {
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

std::optional<long> CMailDatabase::ReadAccountId(SQLHDBC connection, const std::string& userName, bool* failed) {
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

CLocalAccount* CMailDatabase::LookupLocalAccount(const std::string& userName) {
    const RecordVersion::Pin pin(GetConnectionHandle());
    const std::optional<long> id = AccountIdByName(userName);
    return id ? MakeAccount(*id) : nullptr;
}

bool CMailDatabase::GetDomain(const std::string& domain, std::string& defaultUser, bool& isFwdOn) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(
            FormatSql("SELECT DefaultUser,IsFwdOn FROM Domains WHERE DomainName = '%s'", SqlText::Quote(domain))))
        return false;
    char user[256] = {};
    unsigned char fwd = 0;
    if (!statement.BindChar(1, user, sizeof user) || !statement.BindBit(2, fwd) || !statement.Fetch()) return false;
    defaultUser = user;
    isFwdOn = fwd != 0;
    return true;
}

CLocalAccount* CMailDatabase::FindAccountForDomain(const std::string& userName, const std::string& domain) {
    std::string defaultUser;
    bool isFwdOn = false;
    if (!GetDomain(domain, defaultUser, isFwdOn)) return nullptr;
    CLocalAccount* account = LookupLocalAccount(userName);
    if (!account && isFwdOn) account = LookupLocalAccount(defaultUser);
    return account;
}

CLocalAccount* CMailDatabase::FindAccountBySuffix(const std::string& dottedName) {
    std::string rest = dottedName;
    for (;;) {
        std::size_t dot = rest.find('.');
        if (dot == std::string::npos) return nullptr;
        rest.erase(0, dot + 1);
        if (CLocalAccount* account = LookupLocalAccount(rest)) return account;
    }
}

std::string CMailDatabase::GetDomainAliasForward(const std::string& userName) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(
            FormatSql("SELECT ForwardAddress FROM DomainAliasUsers WHERE UserName = '%s'", SqlText::Quote(userName))))
        return "";
    char address[256] = {};
    if (!statement.BindChar(1, address, sizeof address) || !statement.Fetch()) return "";
    return address;
}

CMailDatabase::Presence CMailDatabase::FindId(const std::string& sql, long& id) {
    OdbcStatement statement(GetConnectionHandle());
    std::uint32_t value = 0;
    if (!statement.ExecDirect(sql) || !statement.BindULong(1, value)) return Presence::Unknown;
    if (!statement.Fetch()) return Presence::Absent;
    id = static_cast<long>(value);
    return Presence::Present;
}

CMailDatabase::Presence CMailDatabase::AccountExists(const std::string& userName) {
    bool failed = false;
    return AccountIdByName(userName, &failed) ? Presence::Present : failed ? Presence::Unknown : Presence::Absent;
}

std::string CMailDatabase::StoredUserName(const std::string& userName) {
    OdbcStatement statement(GetConnectionHandle());
    std::string stored;
    if (!statement.ExecDirect(
            FormatSql("SELECT aUserName FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName))) ||
        !statement.Fetch() || !statement.GetText(1, stored))
        return userName;
    return stored;
}

bool CMailDatabase::IsValidUserName(const std::string& userName) {
    if (userName.empty() || userName.size() > kMaxUserName || !std::isalnum(static_cast<unsigned char>(userName[0])))
        return false;
    for (char c : userName) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || !(std::isalnum(u) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

bool CMailDatabase::IsValidPassword(const std::string& password) {
    if (password.empty() || password.size() > kMaxPassword) return false;
    // Any text but control characters: the stored form keeps every byte.
    for (char c : password)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

bool CMailDatabase::IsValidEmail(const std::string& email) {
    if (email.empty() || email.size() > kMaxEmail) return false;
    std::string address = email;
    const std::size_t open = email.find('<');
    if (open != std::string::npos) {
        // "Display Name <address>": the name is plain text, the address one bracketed address.
        if (email.back() != '>' || email.find('>') != email.size() - 1 ||
            email.find('<', open + 1) != std::string::npos)
            return false;
        for (std::size_t i = 0; i < open; ++i) {
            const auto u = static_cast<unsigned char>(email[i]);
            if (u < 0x20 || u == 0x7F) return false;
        }
        address = email.substr(open + 1, email.size() - open - 2);
    }
    const std::size_t at = address.find('@');
    if (at == 0 || at == std::string::npos || at + 1 == address.size()) return false;
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '<' || c == '>' || c == ',' || c == ';') return false;
    }
    return true;
}

bool CMailDatabase::IsValidDomainName(const std::string& domain) {
    if (domain.empty() || domain.size() > 253) return false;
    std::size_t start = 0;
    std::string lastLabel;
    for (;;) {
        const std::size_t dot = domain.find('.', start);
        const std::string label = domain.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label)
            if (static_cast<unsigned char>(c) >= 0x80 || !(std::isalnum(static_cast<unsigned char>(c)) || c == '-'))
                return false;
        lastLabel = label;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return lastLabel.find_first_not_of("0123456789") != std::string::npos;
}

CMailDatabase::Presence CMailDatabase::DomainListed(const std::string& domain) {
    long count = 0;
    const Presence found =
        FindId(FormatSql("SELECT count(*) FROM Domains WHERE DomainName = '%s'", SqlText::Quote(domain)), count);
    if (found == Presence::Unknown) return Presence::Unknown;
    return count > 0 ? Presence::Present : Presence::Absent;
}

CMailDatabase::Change CMailDatabase::AddDomain(const std::string& domain, const std::string& defaultUser,
                                               bool isFwdOn) {
    if (!IsValidDomainName(domain)) return Change::Failed;
    switch (DomainListed(domain)) {
        case Presence::Present:
            return Change::NothingToDo;
        case Presence::Unknown:
            return Change::Failed;
        case Presence::Absent:
            break;
    }
    OdbcStatement statement(GetConnectionHandle());
    return statement.ExecDirect(FormatSql("INSERT INTO Domains VALUES ('%s', '%s', %s)", SqlText::Quote(domain),
                                          SqlText::Quote(defaultUser),
                                          isFwdOn ? SqlTrusted("true") : SqlTrusted("false")))
               ? Change::Made
               : Change::Failed;
}

CMailDatabase::Change CMailDatabase::DeleteDomain(const std::string& domain) {
    switch (DomainListed(domain)) {
        case Presence::Absent:
            return Change::NothingToDo;
        case Presence::Unknown:
            return Change::Failed;
        case Presence::Present:
            break;
    }
    OdbcStatement statement(GetConnectionHandle());
    return statement.ExecDirect(FormatSql("DELETE FROM Domains WHERE DomainName = '%s'", SqlText::Quote(domain)))
               ? Change::Made
               : Change::Failed;
}

bool CMailDatabase::ListDomains(std::vector<DomainEntry>& domains) {
    domains.clear();
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect("SELECT DomainName,DefaultUser,IsFwdOn FROM Domains ORDER BY DomainName")) return false;
    while (statement.Fetch()) {
        DomainEntry entry;
        std::string fwd;
        statement.GetText(1, entry.name);
        statement.GetText(2, entry.defaultUser);
        statement.GetText(3, fwd);
        entry.isFwdOn = !fwd.empty() && fwd != "0";
        domains.push_back(std::move(entry));
    }
    return true;
}

namespace {

std::string MailDirectory() {
    std::string root = settings::Text{settings::kStorage, "Mail Directory"}.Value(259);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

constexpr const char* kStandardFolders[] = {"Inbox", "Sent", "Task", "Request", "Trash", "Draft", "ApprovalMail"};

// A directory left by a removed account keeps its mail; a new account must
// not be given that number and so find the old mail in its folders.
constexpr int kDirectoryProbes = 1000;

}  // namespace

bool CMailDatabase::CreateAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                                  const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                                  long receiveLimit, long sendLimit) {
    if (!IsValidUserName(userName) || !IsValidPassword(password) || !IsValidEmail(email) || mailboxLimit < 0 ||
        receiveLimit < 0 || sendLimit < 0)
        return false;
    // A second row of a name would never be found: every look-up takes the first.
    if (AccountExists(userName) != Presence::Absent) return false;
    const std::string root = MailDirectory();
    // Without a store root the account's folders would land in "/".
    if (root.empty()) return false;

    long id = NextId("Accounts", "aAccountId");
    for (int probe = 0; probe < kDirectoryProbes && PathExists(root + StringPrintf("/QIRN%ld", id)); ++probe) ++id;
    const std::string mailBox = StringPrintf("QIRN%ld", id);
    {
        OdbcStatement statement(GetConnectionHandle());
        if (!statement.ExecDirect(FormatSql(
                "INSERT INTO Accounts VALUES (%ld, '%s', '%s', '%s', %d, 1, 0, %d,'%s',%ld)", id,
                SqlText::Quote(userName), SqlText::Quote(PasswordScrambler::ScrambleForColumn(userName, password)),
                SqlText::Quote(mailBox), isGroup ? 1 : 0, isAdmin ? 1 : 0, SqlText::Quote(email), mailboxLimit)))
            return false;
    }
    bool complete = true;
    {
        OdbcStatement statement(GetConnectionHandle());
        for (int folder = 1; folder <= 7; ++folder)
            complete = statement.ExecDirect(FormatSql("INSERT INTO FolderMapping VALUES (%ld, %d, '%s', 0)", id, folder,
                                                      SqlText::Quote(kStandardFolders[folder - 1]))) &&
                       complete;
        complete = statement.ExecDirect(FormatSql("INSERT INTO MailSizeControl VALUES (%ld, %ld, %ld, %ld)", id,
                                                  mailboxLimit, receiveLimit, sendLimit)) &&
                   complete;
    }
    // The directories are the store's to make, named after the folder rows.
    const MailStoreMaker makeStore = g_storeMaker.load();
    complete = makeStore && makeStore(root + "/" + mailBox, std::span<const char* const>(kStandardFolders)) && complete;
    if (complete) {
        OdbcStatement statement(GetConnectionHandle());
        complete = statement.ExecDirect(
            FormatSql("INSERT INTO AccessControl VALUES (%ld,%ld,%ld)", id, allowRead, allowWrite));
    }
    if (!complete) {
        // An account without its folders, limits or directories would lose
        // the mail delivered to it: take back every row instead.
        // Each row that stays is logged by RemoveAccountRows or here.
        RemoveAccountRows(id, userName);
        OdbcStatement statement(GetConnectionHandle());
        if (!statement.ExecDirect(FormatSql("DELETE FROM Accounts WHERE aAccountId = %ld", id)))
            g_moduleLog.Write(StringPrintf("*** The Accounts row of the unfinished account %s stays: %s",
                                           userName.c_str(), statement.LastError().c_str()));
        return false;
    }
    return true;
}

bool CMailDatabase::RemoveAccountRows(long accountId, const std::string& userName) {
    // Ids come from the largest one in use, so a later account can get this
    // number again; it must not inherit folders, limits, rights, forwarding
    // or the index of someone else's mail. The mail files themselves stay.
    static constexpr SqlTrusted kByAccountId[] = {
        "FolderMapping",  "MailSizeControl", "AccessControl", "Mails",  "MailInfo",   "POPACCOUNTS", "Forwarding",
        "ForwardOptions", "AutoResponder",   "Netware",       "Groups", "Intergroup", "UserFilters", "VoiceAccounts",
        "MailboxFolderState", "MailboxMessageState"};
    OdbcStatement statement(GetConnectionHandle());
    bool all = true;
    auto removeRows = [&](const std::string& sql) {
        if (statement.ExecDirect(sql)) return;
        all = false;
        g_moduleLog.Write(StringPrintf("*** A row of account %s stays (%s): %s", userName.c_str(), sql.c_str(),
                                       statement.LastError().c_str()));
    };
    for (const SqlTrusted& table : kByAccountId)
        removeRows(FormatSql("DELETE FROM %s WHERE aAccountId = %ld", table, accountId));
    removeRows(FormatSql("DELETE FROM UserPrefrences WHERE AccountId = %ld", accountId));
    removeRows(FormatSql("DELETE FROM mailmonitor WHERE nAccountId = '%ld'", accountId));
    removeRows(FormatSql("DELETE FROM Aliases WHERE aUserName = '%s'", SqlText::Quote(userName)));
    CFetchedUidls::Key mapped;
    mapped.accountId = accountId;
    if (!CFetchedUidls::Forget(GetConnectionHandle(), mapped)) {
        all = false;
        g_moduleLog.Write(StringPrintf("*** The fetched message ids of account %s stay", userName.c_str()));
    }
    return all;
}

bool CMailDatabase::DeleteAccount(const std::string& userName) {
    if (userName.empty() || IsOnlyAdministrator(userName)) return false;
    const std::optional<long> accountId = AccountIdByName(userName);
    if (!accountId) return false;
    const long id = *accountId;
    const std::string storedName = StoredUserName(userName);

    // A single-file mailbox "<folder 1 name><id>.mel" in the store root is
    // what an older layout kept; it goes with the account. Only a plain file
    // of a plain name is removed.
    const std::string root = MailDirectory();
    std::string inbox;
    {
        OdbcStatement statement(GetConnectionHandle());
        std::uint32_t folderId = 0;
        char name[32] = {};
        if (statement.ExecDirect(FormatSql(
                "SELECT FolderId,FolderName from FolderMapping WHERE aAccountId = %ld Order by FolderId", id)) &&
            statement.BindULong(1, folderId) && statement.BindChar(2, name, sizeof name)) {
            while (statement.Fetch())
                if (folderId == 1) inbox = name;
        }
    }
    if (!root.empty() && !inbox.empty() && inbox.find('/') == std::string::npos && inbox != "." && inbox != "..") {
        const std::string file = root + "/" + inbox + std::to_string(id) + ".mel";
        struct stat info {};
        if (::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(file.c_str());
    }

    // The rows first: when one cannot go, the account stays listed, so the
    // delete can be asked for again and finish what was left.
    if (!RemoveAccountRows(id, storedName)) return false;
    OdbcStatement statement(GetConnectionHandle());
    return statement.ExecDirect(FormatSql("DELETE FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName)));
}

bool CMailDatabase::UpdateAccount(const std::string& userName, const std::string& password, bool isAdmin,
                                  const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                                  const long* receiveLimit, const long* sendLimit) {
    // The address is kept as the editor shows it (older accounts may have
    // none), but never with control characters or beyond its column.
    const bool plainEmail = email.size() <= kMaxEmail && std::none_of(email.begin(), email.end(), [](char c) {
                                return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                            });
    if (!IsValidPassword(password) || !plainEmail || mailboxLimit < 0 || (receiveLimit && *receiveLimit < 0) ||
        (sendLimit && *sendLimit < 0))
        return false;
    if (!isAdmin && IsOnlyAdministrator(userName)) return false;
    // An update that matches no row would otherwise report success.
    const std::optional<long> accountId = AccountIdByName(userName);
    if (!accountId) return false;
    const long id = *accountId;
    // Scrambled with the name as stored, which is what readers unscramble with.
    const std::string storedName = StoredUserName(userName);
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(FormatSql("UPDATE Accounts SET aPassword = '%s', aIsAdmin = %d, EmailId = '%s', "
                                        "RecvMailSizeLimit = %ld where aUserName = '%s'",
                                        SqlText::Quote(PasswordScrambler::ScrambleForColumn(storedName, password)),
                                        isAdmin ? 1 : 0, SqlText::Quote(email), mailboxLimit,
                                        SqlText::Quote(userName))))
        return false;
    bool ok = statement.ExecDirect(
        FormatSql("UPDATE AccessControl SET aAllowRead = %ld, aAllowWrite = %ld where aAccountId = %ld",
                  allowRead ? 1L : 0L, allowWrite ? 1L : 0L, id));
    if (receiveLimit && sendLimit)
        ok = statement.ExecDirect(FormatSql("UPDATE MailSizeControl SET MailBoxLimit = %ld, RecvMailLimit= %ld, "
                                            "SendMailLimit = %ld where aAccountId = %ld",
                                            mailboxLimit, *receiveLimit, *sendLimit, id)) &&
             ok;
    return ok;
}

bool CMailDatabase::AlterAccountWithLimits(const std::string& userName, const std::string& password, bool, bool isAdmin,
                                           const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                                           long receiveLimit, long sendLimit) {
    return UpdateAccount(userName, password, isAdmin, email, mailboxLimit, allowRead, allowWrite, &receiveLimit,
                         &sendLimit);
}

bool CMailDatabase::AlterAccount(const std::string& userName, const std::string& password, bool, bool isAdmin,
                                 const std::string& email, long mailboxLimit, long allowRead, long allowWrite) {
    return UpdateAccount(userName, password, isAdmin, email, mailboxLimit, allowRead, allowWrite, nullptr, nullptr);
}

bool CMailDatabase::IsOnlyAdministrator(const std::string& userName) {
    if (EqualsNoCase(userName, "postmaster")) return true;
    {
        OdbcStatement statement(GetConnectionHandle());
        unsigned char admin = 0;
        if (!statement.ExecDirect(
                FormatSql("SELECT aIsAdmin FROM Accounts where aUserName = '%s'", SqlText::Quote(userName))) ||
            !statement.BindBit(1, admin) || !statement.Fetch() || !admin)
            return false;
    }
    OdbcStatement statement(GetConnectionHandle());
    unsigned char admin = 0;
    if (!statement.ExecDirect("SELECT aIsAdmin FROM Accounts") || !statement.BindBit(1, admin)) return true;
    int administrators = 0;
    while (administrators < 2 && statement.Fetch())
        if (admin) ++administrators;
    return administrators < 2;
}

bool CMailDatabase::ListAccounts(std::vector<AccountEntry>& accounts) {
    accounts.clear();
    OdbcStatement statement(GetConnectionHandle());
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

bool CMailDatabase::ReadAccessRights(SQLHDBC connection, long accountId, long& allowRead, long& allowWrite) {
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

CMailDatabase::ReadRight CMailDatabase::ReadRightOf(SQLHDBC connection, long accountId) {
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

CMailDatabase::LoginResult CMailDatabase::StoredPassword(SQLHDBC connection, const std::string& userName,
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

CMailDatabase::LoginResult CMailDatabase::CheckLogin(SQLHDBC connection, const std::string& userName,
                                                     const std::string& password) {
    std::string stored;
    const LoginResult result = StoredPassword(connection, userName, stored);
    if (result != LoginResult::Administrator && result != LoginResult::User) return result;
    if (password.empty() || stored != password) return LoginResult::WrongPassword;
    return result;
}

const char* CMailDatabase::LoginMessage(LoginResult result) {
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

CVoiceAccountStore* CMailDatabase::GetVoiceAccountStore() {
    if (!voiceAccounts) voiceAccounts = std::make_unique<CVoiceAccountStore>();
    return voiceAccounts.get();
}

CRemoteServerAccounts* CMailDatabase::GetRemoteServerAccounts() {
    if (!remoteAccounts) remoteAccounts = std::make_unique<CRemoteServerAccounts>(GetConnectionHandle());
    remoteAccounts->SetConnection(GetConnectionHandle());
    remoteAccounts->Load();
    return remoteAccounts.get();
}

std::string CMailDatabase::AddressToHex(const std::string& dotted) {
    std::size_t b = dotted.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = dotted.find_last_not_of(" \t");
    const std::string address = dotted.substr(b, e - b + 1);
    std::string hex;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = address.find('.', start);
        std::string part = address.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        hex += StringPrintf("%02X", static_cast<unsigned>(std::atoi(part.c_str())));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return hex;
}

bool CMailDatabase::IsRelayAllowed(const std::string& address) {
    const SqlText hex = SqlText::Quote(AddressToHex(address));
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(
            FormatSql("SELECT count(*) FROM RelayAllowed WHERE FirstIp <= '%s' and LastIp >= '%s'", hex, hex)))
        return false;
    std::uint32_t count = 0;
    if (!statement.BindULong(1, count) || !statement.Fetch()) return false;
    return count > 0;
}

std::string CMailDatabase::BareAddress(const std::string& email) {
    std::string_view bare = email;
    const std::size_t open = bare.rfind('<');
    if (open != std::string_view::npos) {
        bare.remove_prefix(open + 1);
        bare = bare.substr(0, bare.find('>'));
    }
    return FoldCase(std::string(Trim(bare)));
}

std::vector<long> CMailDatabase::AccountsWithAddress(const std::string& address) {
    std::vector<long> ids;
    const std::string wanted = BareAddress(address);
    if (wanted.empty() || wanted.size() > kMaxEmail) return ids;
    // The pattern narrows to the rows holding the address somewhere; the
    // comparison of the bare addresses decides.
    OdbcStatement statement(GetConnectionHandle());
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

CLocalAccount* CMailDatabase::FindAccountByAddress(const std::string& address) {
    const RecordVersion::Pin pin(GetConnectionHandle());
    const std::vector<long> ids = AccountsWithAddress(address);
    return ids.empty() ? nullptr : MakeAccount(ids.front());
}

long CMailDatabase::NextId(const std::string& table, const std::string& column) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.Ok()) return 1;
    // Table and column are the caller's own names; anything but a plain name is refused.
    const std::optional<SqlTrusted> columnName = SqlTrusted::Name(column);
    const std::optional<SqlTrusted> tableName = SqlTrusted::Name(table);
    if (!columnName || !tableName ||
        !statement.ExecDirect(FormatSql("SELECT max(%s) FROM %s", *columnName, *tableName)))
        return 1;
    std::uint32_t value = 1;
    if (!statement.BindULong(1, value) || !statement.Fetch()) return 1;
    return value != 0 ? static_cast<long>(value) + 1 : 1;
}
