// NullAccountDatabase: an account database without accounts, domains or
// relay ranges; tests derive from it and answer only what they care about.
#pragma once

#include <string>

#include "foundation/CAccountDatabase.h"

class NullAccountDatabase : public CAccountDatabase {
public:
    bool Open() override { return true; }
    CLocalAccount* GetAccountById(long) override { return nullptr; }
    CLocalAccount* FindAccountForDomain(const std::string&, const std::string&) override { return nullptr; }
    CLocalAccount* LookupLocalAccount(const std::string&) override { return nullptr; }
    CLocalAccount* FindAccountBySuffix(const std::string&) override { return nullptr; }
    std::string GetDomainAliasForward(const std::string&) override { return ""; }
    bool GetDomain(const std::string&, std::string&, bool&) override { return false; }
    bool CreateAccount(const std::string&, const std::string&, bool, bool, const std::string&, long, long, long, long,
                       long) override {
        return false;
    }
    bool DeleteAccount(const std::string&) override { return false; }
    bool AlterAccountWithLimits(const std::string&, const std::string&, bool, bool, const std::string&, long, long,
                                long, long, long) override {
        return false;
    }
    bool AlterAccount(const std::string&, const std::string&, bool, bool, const std::string&, long, long,
                      long) override {
        return false;
    }
    bool Connect() override { return true; }
    bool Disconnect() override { return true; }
    CVoiceAccountStore* GetVoiceAccountStore() override { return nullptr; }
    CRemoteServerAccounts* GetRemoteServerAccounts() override { return nullptr; }
    SQLHDBC GetConnectionHandle() override { return SQL_NULL_HDBC; }
    bool IsRelayAllowed(const std::string&) override { return false; }
    long NextId(const std::string&, const std::string&) override { return 1; }
};
