// CMailDatabase: the account database handed to the server modules.
//
// Owns its own ODBC environment and connection to the data source
// "Velmora". Account look-ups return a new CLocalAccount that the caller
// owns; the account class belongs to a higher layer, so it is made through
// a factory that the program installs at start (SetLocalAccountFactory); so
// are the mail-store directories of a new account (SetMailStoreMaker).
//
// One connection, many threads: the handle GetConnectionHandle gives out is
// used at once by every SMTP session resolving recipients, the spool
// processor routing, the event thread and the accounts made here. That is
// safe only because the driver manager serialises the calls on one
// connection (its "Threading" level 2 in odbcinst.ini, which setup writes
// and `velmora run` checks with a warning). Nothing opens a transaction on
// it: each statement commits on its own, so the statements of two threads
// may interleave without one seeing the other's half-done work.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/CAccountDatabase.h"
#include "foundation/OdbcConnection.h"

// Makes the account object for an id on a connection; owned by the caller.
// owner is the database it came from, which the account may ask again.
using LocalAccountFactory = CLocalAccount* (*)(CAccountDatabase* owner, SQLHDBC connection, long accountId);

// Makes a new account's directories in the mail store: accountDirectory and
// one directory per folder name in it (an existing one is fine). The store
// is a higher layer, so it is installed at start (SetMailStoreMaker).
using MailStoreMaker = bool (*)(const std::string& accountDirectory, std::span<const char* const> folders);

// Companion object whose content is this system's own choice: the voice
// server's accounts are not kept by this engine, so it holds nothing yet.
class CVoiceAccountStore {
public:
    virtual ~CVoiceAccountStore() = default;
};

class CMailDatabase : public CAccountDatabase {
public:
    CMailDatabase();
    ~CMailDatabase() override;

    bool Open() override;
    CLocalAccount* GetAccountById(long accountId) override;
    CLocalAccount* FindAccountForDomain(const std::string& userName, const std::string& domain) override;
    CLocalAccount* LookupLocalAccount(const std::string& userName) override;
    CLocalAccount* FindAccountBySuffix(const std::string& dottedName) override;
    std::string GetDomainAliasForward(const std::string& userName) override;
    bool GetDomain(const std::string& domain, std::string& defaultUser, bool& isFwdOn) override;
    bool CreateAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                       const std::string& email, long mailboxLimit, long allowRead, long allowWrite, long receiveLimit,
                       long sendLimit) override;
    bool DeleteAccount(const std::string& userName) override;
    bool AlterAccountWithLimits(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                                const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                                long receiveLimit, long sendLimit) override;
    bool AlterAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                      const std::string& email, long mailboxLimit, long allowRead, long allowWrite) override;
    bool Connect() override;
    bool Disconnect() override;
    CVoiceAccountStore* GetVoiceAccountStore() override;
    CRemoteServerAccounts* GetRemoteServerAccounts() override;
    // The one connection every thread shares (see above); null before Connect.
    SQLHDBC GetConnectionHandle() override;
    // Declares the connection used by one thread only (after Connect): its
    // stored messages then commit their rows in one transaction.
    void SetExclusive(bool exclusive = true) {
        if (connection) connection->SetExclusive(exclusive);
    }
    bool IsRelayAllowed(const std::string& address) override;
    long NextId(const std::string& table, const std::string& column) override;
    CLocalAccount* FindAccountByAddress(const std::string& address) override;
    // The ids of the accounts whose e-mail address is this bare address,
    // oldest first; empty when none is or the database cannot answer.
    std::vector<long> AccountsWithAddress(const std::string& address);
    // The bare address of a stored e-mail ("Name <addr>" gives addr), lower case.
    static std::string BareAddress(const std::string& email);

    static void SetLocalAccountFactory(LocalAccountFactory factory);
    // Without a maker CreateAccount makes no account.
    static void SetMailStoreMaker(MailStoreMaker maker);

    // --- Sending quota and rights of an account, asked on the connection the
    // caller routes on.
    // The account's SendMailLimit in kilobytes; 0 (no limit) when there is no
    // account, no row, or a statement fails.
    static std::uint32_t SendingLimit(SQLHDBC connection, const std::string& userName);
    // Whether the account may send mail out: true for an unknown name or a
    // missing AccessControl row; none when no statement could be allocated.
    static std::optional<bool> MaySendOut(SQLHDBC connection, const std::string& userName);

    // The id of the account with this name (compared as the database
    // compares text). Empty when no account has the name or the database
    // cannot answer; failed, when given, is set to tell the second apart.
    // Answers are kept while the record version stays (RecordVersion).
    static std::optional<long> AccountIdByName(SQLHDBC connection, const std::string& userName, bool* failed = nullptr);
    std::optional<long> AccountIdByName(const std::string& userName, bool* failed = nullptr) {
        return AccountIdByName(GetConnectionHandle(), userName, failed);
    }

    // --- Account administration (the user editor and the login panel; not
    // part of the module interface).
    enum class LoginResult { Failed, UnknownName, WrongPassword, Administrator, User };
    // The login check of the console: name and password against Accounts.
    LoginResult CheckLogin(const std::string& userName, const std::string& password) {
        return CheckLogin(GetConnectionHandle(), userName, password);
    }
    // The same check on a connection (the SMTP server's AUTH uses it too).
    static LoginResult CheckLogin(SQLHDBC connection, const std::string& userName, const std::string& password);
    // The account's password as typed (unscrambled), for a check that needs
    // it rather than a comparison (CRAM-MD5): Administrator or User with the
    // password set, else why not.
    static LoginResult StoredPassword(SQLHDBC connection, const std::string& userName, std::string& password);
    // The panel's line for a result ("Invalid Password", ...).
    static const char* LoginMessage(LoginResult result);
    // "postmaster" always is; another user is when it is the one
    // administrator left. Such a user can neither go nor lose its rights.
    bool IsOnlyAdministrator(const std::string& userName);
    // The answer of a look-up that may fail: the database may not be able
    // to tell.
    enum class Presence { Present, Absent, Unknown };
    // The answer of a change that may have nothing to do.
    enum class Change { Made, NothingToDo, Failed };

    Presence AccountExists(const std::string& userName);

    // The user editor's list: every account's name, its password as typed
    // (unscrambled) and whether it administers. False when it cannot be read.
    struct AccountEntry {
        std::string userName;
        std::string password;
        bool isAdmin = false;
    };
    bool ListAccounts(std::vector<AccountEntry>& accounts);
    // The account's AccessControl rights as 1/0; false (both left as they
    // were) when there is no row or the statement fails.
    static bool ReadAccessRights(SQLHDBC connection, long accountId, long& allowRead, long& allowWrite);
    // Whether the account may read its mail (POP3, distribution of fetched
    // mail): the one answer every reader of the right gives. An account
    // without its AccessControl row may not: the row is made with the
    // account, so a missing one is damage, not a grant.
    enum class ReadRight { Allowed, Denied, NoRow, Unreadable };
    static ReadRight ReadRightOf(SQLHDBC connection, long accountId);

    // Names that work as a mailbox name and as the local part of an address:
    // ASCII letters, digits, '.', '_' and '-', starting with a letter or
    // digit, at most kMaxUserName characters.
    static constexpr std::size_t kMaxUserName = 64;
    static bool IsValidUserName(const std::string& userName);
    // No control characters, at most kMaxPassword bytes: longer ones would
    // not fit the stored scrambled form (two characters per position).
    static constexpr std::size_t kMaxPassword = 74;
    static bool IsValidPassword(const std::string& password);
    // One address: "local@domain" without blanks or control characters,
    // alone or after a display name in angle brackets ("Bob <bob@example.net>"),
    // the form the outbound queue and the auto-responder reduce to its address.
    static constexpr std::size_t kMaxEmail = 320;
    static bool IsValidEmail(const std::string& email);

    // --- Served domains: mail for a domain listed here is local.
    struct DomainEntry {
        std::string name;
        std::string defaultUser;  // gets mail for unknown users when isFwdOn
        bool isFwdOn = false;
    };
    // NothingToDo: listed already.
    Change AddDomain(const std::string& domain, const std::string& defaultUser, bool isFwdOn);
    // NothingToDo: not listed.
    Change DeleteDomain(const std::string& domain);
    bool ListDomains(std::vector<DomainEntry>& domains);
    // A host name: dot-separated labels of ASCII letters, digits and '-'
    // (not first or last in a label), each at most 63 characters, at most
    // 253 in all, not all digits in the last label (that is an address).
    static bool IsValidDomainName(const std::string& domain);

    // "192.168.1.10" -> "C0A8010A"; empty for an empty address.
    static std::string AddressToHex(const std::string& dotted);

private:
    static std::optional<long> ReadAccountId(SQLHDBC connection, const std::string& userName, bool* failed);
    CLocalAccount* MakeAccount(long accountId);
    // The id of the first row of a one-column query, or -1.
    long QueryId(const std::string& sql);
    // Present: a row was found and id set.
    Presence FindId(const std::string& sql, long& id);
    Presence DomainListed(const std::string& domain);
    // The account's name as stored (its case may differ from the one asked for).
    std::string StoredUserName(const std::string& userName);
    // Removes every row that belongs to the account other than its Accounts
    // row; false (each failure logged) when any of them stays.
    bool RemoveAccountRows(long accountId, const std::string& userName);
    bool UpdateAccount(const std::string& userName, const std::string& password, bool isAdmin, const std::string& email,
                       long mailboxLimit, long allowRead, long allowWrite, const long* receiveLimit,
                       const long* sendLimit);

    std::unique_ptr<OdbcEnvironment> environment;
    std::unique_ptr<OdbcConnection> connection;
    std::unique_ptr<CVoiceAccountStore> voiceAccounts;
    std::unique_ptr<CRemoteServerAccounts> remoteAccounts;
};
