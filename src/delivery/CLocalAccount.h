// CLocalAccount: one local account's delivery and mailbox object.
//
// Made by the account database for an account id and owned by whoever asked
// for it. This is the account's identity; its mailbox store and delivery
// operations build on it.
#pragma once

#include <sql.h>
#include <string>

class CLocalAccount {
public:
    CLocalAccount(SQLHDBC connection, long accountId);
    virtual ~CLocalAccount();
    CLocalAccount(const CLocalAccount&) = delete;
    CLocalAccount& operator=(const CLocalAccount&) = delete;

    // The factory the account database uses (see CMailDatabase).
    static CLocalAccount* Create(SQLHDBC connection, long accountId);

    long GetAccountId() const { return accountId; }
    const std::string& GetUserName() const { return userName; }

private:
    SQLHDBC connection;
    long accountId;
    std::string userName;
};
