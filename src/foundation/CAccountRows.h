// CAccountRows: the look-ups of single Accounts columns that the delivery,
// retrieval and administration code asks for by id or by name. Names and
// addresses are cut to the bounds their readers keep.
#pragma once

#include <sql.h>

#include <optional>
#include <string>
#include <vector>

#include "foundation/OdbcFailure.h"

class CAccountRows {
public:
    // nullopt when there is no such account or it cannot be read.
    static std::optional<std::string> UserNameOf(SQLHDBC connection, long accountId);
    // The name as stored, found without regard to case where the backend
    // compares so; nullopt when there is none.
    static std::optional<std::string> StoredUserName(SQLHDBC connection, const std::string& userName,
                                                     OdbcFailure* failure = nullptr);
    static std::optional<std::string> MailBoxOf(SQLHDBC connection, const std::string& userName);
    static std::optional<std::string> EmailIdOf(SQLHDBC connection, const std::string& userName);

    struct NameAndLimit {
        std::string userName;
        long receiveLimitKb = 0;  // RecvMailSizeLimit: 0 for none
    };
    static std::optional<NameAndLimit> NameAndReceiveLimit(SQLHDBC connection, long accountId);

    // Every account's address that is not empty, in the database's order.
    static bool AllEmailIds(SQLHDBC connection, std::vector<std::string>& addresses);
};
