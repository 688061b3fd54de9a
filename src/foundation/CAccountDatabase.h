// CAccountDatabase: the account-database interface that the server modules
// and the spool processor hold. The order of the virtual operations is part
// of the modules' binary interface: never reorder, only append.
#pragma once

#include <sql.h>
#include <string>

class CLocalAccount;
class CVoiceAccountStore;
class CRemoteServerAccounts;

class CAccountDatabase {
public:
    virtual ~CAccountDatabase() = default;
    virtual bool Open() = 0;
    virtual CLocalAccount* GetAccountById(long accountId) = 0;
    virtual CLocalAccount* FindAccountForDomain(const std::string& userName, const std::string& domain) = 0;
    virtual CLocalAccount* LookupLocalAccount(const std::string& userName) = 0;
    virtual CLocalAccount* FindAccountBySuffix(const std::string& dottedName) = 0;
    virtual std::string GetDomainAliasForward(const std::string& userName) = 0;
    virtual bool GetDomain(const std::string& domain, std::string& defaultUser, bool& isFwdOn) = 0;
    virtual bool CreateAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                               const std::string& email, long mailboxLimit, long allowRead, long allowWrite,
                               long receiveLimit, long sendLimit) = 0;
    virtual bool DeleteAccount(const std::string& userName) = 0;
    virtual bool AlterAccountWithLimits(const std::string& userName, const std::string& password, bool isGroup,
                                        bool isAdmin, const std::string& email, long mailboxLimit, long allowRead,
                                        long allowWrite, long receiveLimit, long sendLimit) = 0;
    virtual bool AlterAccount(const std::string& userName, const std::string& password, bool isGroup, bool isAdmin,
                              const std::string& email, long mailboxLimit, long allowRead, long allowWrite) = 0;
    virtual bool Connect() = 0;
    virtual bool Disconnect() = 0;
    virtual CVoiceAccountStore* GetVoiceAccountStore() = 0;
    virtual CRemoteServerAccounts* GetRemoteServerAccounts() = 0;
    virtual SQLHDBC GetConnectionHandle() = 0;
    virtual bool IsRelayAllowed(const std::string& address) = 0;
    virtual long NextId(const std::string& table, const std::string& column) = 0;
    // The account whose e-mail address is this bare address (case aside; a
    // stored "Name <addr>" compares by its addr); when several claim it, the
    // oldest. Appended: databases without addresses keep this answer.
    virtual CLocalAccount* FindAccountByAddress(const std::string& /*address*/) { return nullptr; }
};
