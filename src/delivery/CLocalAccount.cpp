// CLocalAccount: construction from the account's row.
#include "delivery/CLocalAccount.h"

#include "foundation/OdbcStatement.h"
#include "foundation/StringFormat.h"

CLocalAccount::CLocalAccount(SQLHDBC conn, long id) : connection(conn), accountId(id) {
    OdbcStatement statement(connection);
    if (statement.ExecDirect(StringPrintf("SELECT aUserName FROM Accounts WHERE aAccountId = %ld", accountId)) &&
        statement.Fetch())
        statement.GetText(1, userName);
}

CLocalAccount::~CLocalAccount() = default;

CLocalAccount* CLocalAccount::Create(SQLHDBC connection, long accountId) {
    return new CLocalAccount(connection, accountId);
}
