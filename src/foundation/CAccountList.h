// CAccountList: every account in id order, as listings show them: the
// shell's account list and the console's user pickers read it here.
#pragma once

#include <sql.h>

#include <string>
#include <vector>

class CAccountList {
public:
    struct Entry {
        long accountId = 0;
        std::string userName;
        bool isAdmin = false;
        std::string emailId;
        std::string mailBox;
    };
    // False when the accounts cannot be read; entries then holds what was fetched.
    static bool List(SQLHDBC connection, std::vector<Entry>& entries);
};
