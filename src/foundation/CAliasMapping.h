// CAliasMapping: the alias names of one owning account. Mail fetched from a
// remote whole-domain mailbox reaches the local user an alias names (the
// distribution looks the rows up by owner and alias); this keeps the owner's
// rows and a copy of them for listing.
#pragma once

#include <sql.h>
#include <optional>
#include <string>
#include <vector>

#include "foundation/OdbcFailure.h"

class CAliasMapping {
public:
    // Alias names and user names are kept in columns of this width.
    static constexpr std::size_t kMaxName = 64;

    struct Entry {
        std::string userId;     // the local user that receives the mail
        std::string aliasName;  // the name the mail arrives under
    };

    // connection is not owned; owner is the account whose aliases these are.
    CAliasMapping(SQLHDBC connection, std::string owner);

    // Reads the owner's rows into the copy; false (copy emptied) on a failure.
    bool ListAliases();
    // False when the database refused; the copy then stays as it was.
    bool AddAlias(const std::string& user, const std::string& alias);
    // Removes the matching rows; removed (when given) counts them.
    bool DeleteAlias(const std::string& user, const std::string& alias, long* removed = nullptr);
    bool DeleteAllAliases();

    const std::vector<Entry>& Entries() const { return entries; }
    const std::string& Owner() const { return owner; }

    // A name an alias may carry: 1 to kMaxName printable ASCII characters, no
    // separator of an address list (",", ";"), none of "@<>()\"" and no
    // blank at either end; the names distribution derives from recipient
    // fields can be nothing else.
    static bool IsValidAliasName(const std::string& alias);

    // The user an owner's alias names: "" when it names none, nullopt when
    // the rows cannot be read (failure filled when given).
    static std::optional<std::string> UserOf(SQLHDBC connection, const std::string& owner, const std::string& alias,
                                             OdbcFailure* failure = nullptr);

private:
    SQLHDBC connection;
    std::string owner;
    std::vector<Entry> entries;
};
