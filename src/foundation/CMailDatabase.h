// CMailDatabase: the account database handed to the server modules.
//
// Owns its own ODBC environment and connection to the data source
// "Velmora". Account look-ups return a new CLocalAccount that the caller
// owns; the account class belongs to a higher layer, so it is made through
// a factory that the program installs at start (SetLocalAccountFactory).
#pragma once

#include <memory>
#include <string>

#include "foundation/CAccountDatabase.h"
#include "foundation/OdbcConnection.h"

// Makes the account object for an id on a connection; owned by the caller.
using LocalAccountFactory = CLocalAccount* (*)(SQLHDBC connection, long accountId);

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
                       const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                       long receiveLimit, long sendLimit) override;
    bool DeleteAccount(const std::string& userName) override;
    bool AlterAccountWithLimits(const std::string& userName, const std::string& password, bool isGroup,
                                bool isAdmin, const std::string& email, long mailboxLimit, long allowRead,
                                long allowWrite, long receiveLimit, long sendLimit) override;
    bool AlterAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                      const std::string& email, long mailboxLimit, long allowRead, long allowWrite) override;
    bool Connect() override;
    bool Disconnect() override;
    CVoiceAccountStore* GetVoiceAccountStore() override;
    CRemoteServerAccounts* GetRemoteServerAccounts() override;
    SQLHDBC GetConnectionHandle() override;
    bool IsRelayAllowed(const std::string& address) override;
    long NextId(const std::string& table, const std::string& column) override;

    static void SetLocalAccountFactory(LocalAccountFactory factory);

    // "192.168.1.10" -> "C0A8010A"; empty for an empty address.
    static std::string AddressToHex(const std::string& dotted);

private:
    CLocalAccount* MakeAccount(long accountId);
    // The id of the first row of a one-column query, or -1.
    long QueryId(const std::string& sql);

    std::unique_ptr<OdbcEnvironment> environment;
    std::unique_ptr<OdbcConnection> connection;
    std::unique_ptr<CVoiceAccountStore> voiceAccounts;
    std::unique_ptr<CRemoteServerAccounts> remoteAccounts;
};
