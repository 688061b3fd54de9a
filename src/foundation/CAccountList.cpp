// CAccountList: the accounts, read in one statement.
#include "foundation/CAccountList.h"

#include <cstdlib>

#include "foundation/OdbcStatement.h"

bool CAccountList::List(SQLHDBC connection, std::vector<Entry>& entries) {
    entries.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT aAccountId, aUserName, aIsAdmin, EmailId, aMailBox FROM Accounts "
                              "ORDER BY aAccountId"))
        return false;
    while (statement.Fetch()) {
        Entry entry;
        std::string id, admin;
        statement.GetText(1, id);
        statement.GetText(2, entry.userName);
        statement.GetText(3, admin);
        statement.GetText(4, entry.emailId);
        statement.GetText(5, entry.mailBox);
        entry.accountId = std::strtol(id.c_str(), nullptr, 10);
        entry.isAdmin = !admin.empty() && admin != "0";
        entries.push_back(std::move(entry));
    }
    return true;
}
