// CMailDatabase: connection, account look-ups, relay ranges and ids.
#include "foundation/CMailDatabase.h"

#include <atomic>
#include <cstdlib>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/StringFormat.h"

// The remote-account list arrives with remote mail retrieval; until then the
// companion is never made and its slot answers null.
class CRemoteServerAccounts {
public:
    virtual ~CRemoteServerAccounts() = default;
};

namespace {
std::atomic<LocalAccountFactory> g_accountFactory{nullptr};
}

CMailDatabase::CMailDatabase() = default;

CMailDatabase::~CMailDatabase() {
    remoteAccounts.reset();
    voiceAccounts.reset();
    Disconnect();
}

void CMailDatabase::SetLocalAccountFactory(LocalAccountFactory factory) { g_accountFactory.store(factory); }

CLocalAccount* CMailDatabase::MakeAccount(long accountId) {
    LocalAccountFactory factory = g_accountFactory.load();
    return factory ? factory(GetConnectionHandle(), accountId) : nullptr;
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

SQLHDBC CMailDatabase::GetConnectionHandle() { return connection ? connection->Handle() : SQL_NULL_HDBC; }

long CMailDatabase::QueryId(const std::string& sql) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(sql)) return -1;
    std::uint32_t id = 0;
    if (!statement.BindULong(1, id) || !statement.Fetch()) return -1;
    return static_cast<long>(id);
}

CLocalAccount* CMailDatabase::GetAccountById(long accountId) {
    long id = QueryId(StringPrintf("SELECT aAccountId FROM Accounts WHERE aAccountId = %ld", accountId));
    return id < 0 ? nullptr : MakeAccount(id);
}

CLocalAccount* CMailDatabase::LookupLocalAccount(const std::string& userName) {
    long id = QueryId(StringPrintf("SELECT aAccountId FROM Accounts WHERE aUserName = '%s'",
                                   SqlEscape(userName).c_str()));
    return id < 0 ? nullptr : MakeAccount(id);
}

bool CMailDatabase::GetDomain(const std::string& domain, std::string& defaultUser, bool& isFwdOn) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(StringPrintf("SELECT DefaultUser,IsFwdOn FROM Domains WHERE DomainName = '%s'",
                                           SqlEscape(domain).c_str())))
        return false;
    char user[256] = {};
    unsigned char fwd = 0;
    if (!statement.BindChar(1, user, sizeof user) || !statement.BindBit(2, fwd) || !statement.Fetch())
        return false;
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
    if (!statement.ExecDirect(StringPrintf("SELECT ForwardAddress FROM DomainAliasUsers WHERE UserName = '%s'",
                                           SqlEscape(userName).c_str())))
        return "";
    char address[256] = {};
    if (!statement.BindChar(1, address, sizeof address) || !statement.Fetch()) return "";
    return address;
}

// Account administration arrives with the account store; until then these
// report failure rather than pretend to have changed anything.
bool CMailDatabase::CreateAccount(const std::string&, const std::string&, bool, bool, const std::string&, long,
                                  long, long, long, long) {
    return false;
}
bool CMailDatabase::DeleteAccount(const std::string&) { return false; }
bool CMailDatabase::AlterAccountWithLimits(const std::string&, const std::string&, bool, bool,
                                           const std::string&, long, long, long, long, long) {
    return false;
}
bool CMailDatabase::AlterAccount(const std::string&, const std::string&, bool, bool, const std::string&, long,
                                 long, long) {
    return false;
}

CVoiceAccountStore* CMailDatabase::GetVoiceAccountStore() {
    if (!voiceAccounts) voiceAccounts = std::make_unique<CVoiceAccountStore>();
    return voiceAccounts.get();
}

CRemoteServerAccounts* CMailDatabase::GetRemoteServerAccounts() { return remoteAccounts.get(); }

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
    const std::string hex = SqlEscape(AddressToHex(address));
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.ExecDirect(StringPrintf(
            "SELECT count(*) FROM RelayAllowed WHERE FirstIp <= '%s' and LastIp >= '%s'", hex.c_str(), hex.c_str())))
        return false;
    std::uint32_t count = 0;
    if (!statement.BindULong(1, count) || !statement.Fetch()) return false;
    return count > 0;
}

long CMailDatabase::NextId(const std::string& table, const std::string& column) {
    OdbcStatement statement(GetConnectionHandle());
    if (!statement.Ok()) return 1;
    // Table and column are the caller's own names, never outside input.
    if (!statement.ExecDirect("SELECT max(" + column + ") FROM " + table)) return 1;
    std::uint32_t value = 1;
    if (!statement.BindULong(1, value) || !statement.Fetch()) return 1;
    return value != 0 ? static_cast<long>(value) + 1 : 1;
}
