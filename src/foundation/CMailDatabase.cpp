// CMailDatabase: connection, the module interface's account look-ups, the
// account administration, relay ranges and ids.
#include "foundation/CMailDatabase.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/AccountEditorCheck.h"
#include "foundation/CAccountRows.h"
#include "foundation/CFetchedUidls.h"
#include "foundation/CModuleLog.h"
#include "foundation/CRelayRanges.h"
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

CLocalAccount* CMailDatabase::LookupLocalAccount(const std::string& userName) {
    const RecordVersion::Pin pin(GetConnectionHandle());
    const std::optional<long> id = CAccountRows::AccountIdByName(GetConnectionHandle(), userName);
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

std::string CMailDatabase::StoredUserName(const std::string& userName) {
    OdbcStatement statement(GetConnectionHandle());
    std::string stored;
    if (!statement.ExecDirect(
            FormatSql("SELECT aUserName FROM Accounts WHERE aUserName = '%s'", SqlText::Quote(userName))) ||
        !statement.Fetch() || !statement.GetText(1, stored))
        return userName;
    return stored;
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
    if (!AccountEditorCheck::IsValidUserName(userName) || !AccountEditorCheck::IsValidPassword(password) || !AccountEditorCheck::IsValidEmail(email) || mailboxLimit < 0 ||
        receiveLimit < 0 || sendLimit < 0)
        return false;
    // A second row of a name would never be found: every look-up takes the first.
    if (CAccountRows::AccountExists(GetConnectionHandle(), userName) != CAccountRows::Presence::Absent) return false;
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
    if (userName.empty() || CAccountRows::IsOnlyAdministrator(GetConnectionHandle(), userName)) return false;
    const std::optional<long> accountId = CAccountRows::AccountIdByName(GetConnectionHandle(), userName);
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
    const bool plainEmail = email.size() <= AccountEditorCheck::kMaxEmail && std::none_of(email.begin(), email.end(), [](char c) {
                                return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                            });
    if (!AccountEditorCheck::IsValidPassword(password) || !plainEmail || mailboxLimit < 0 || (receiveLimit && *receiveLimit < 0) ||
        (sendLimit && *sendLimit < 0))
        return false;
    if (!isAdmin && CAccountRows::IsOnlyAdministrator(GetConnectionHandle(), userName)) return false;
    // An update that matches no row would otherwise report success.
    const std::optional<long> accountId = CAccountRows::AccountIdByName(GetConnectionHandle(), userName);
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

bool CMailDatabase::IsRelayAllowed(const std::string& address) {
    const SqlText hex = SqlText::Quote(CRelayRanges::AddressToHex(address));
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(
            FormatSql("SELECT count(*) FROM RelayAllowed WHERE FirstIp <= '%s' and LastIp >= '%s'", hex, hex)))
        return false;
    std::uint32_t count = 0;
    if (!statement.BindULong(1, count) || !statement.Fetch()) return false;
    return count > 0;
}

CLocalAccount* CMailDatabase::FindAccountByAddress(const std::string& address) {
    const RecordVersion::Pin pin(GetConnectionHandle());
    const std::vector<long> ids = CAccountRows::AccountsWithAddress(GetConnectionHandle(), address);
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
