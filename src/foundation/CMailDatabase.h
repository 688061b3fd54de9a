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
    static void SetLocalAccountFactory(LocalAccountFactory factory);
    // Without a maker CreateAccount makes no account.
    static void SetMailStoreMaker(MailStoreMaker maker);

private:
    CLocalAccount* MakeAccount(long accountId);
    // The id of the first row of a one-column query, or -1.
    long QueryId(const std::string& sql);
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
