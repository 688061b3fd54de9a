// CDomainRows: the served domains (table Domains) as the administration
// changes and lists them; mail for a domain listed here is local. The
// account database's own look-up of a domain stays its own.
#pragma once

#include <sql.h>

#include <string>
#include <vector>

#include "foundation/CAccountRows.h"

class CDomainRows {
public:
    using Presence = CAccountRows::Presence;
    // The answer of a change that may have nothing to do.
    enum class Change { Made, NothingToDo, Failed };

    struct DomainEntry {
        std::string name;
        std::string defaultUser;  // gets mail for unknown users when isFwdOn
        bool isFwdOn = false;
    };
    // NothingToDo: listed already.
    static Change AddDomain(SQLHDBC connection, const std::string& domain, const std::string& defaultUser,
                            bool isFwdOn);
    // NothingToDo: not listed.
    static Change DeleteDomain(SQLHDBC connection, const std::string& domain);
    static bool ListDomains(SQLHDBC connection, std::vector<DomainEntry>& domains);
    // A host name: dot-separated labels of ASCII letters, digits and '-'
    // (not first or last in a label), each at most 63 characters, at most
    // 253 in all, not all digits in the last label (that is an address).
    static bool IsValidDomainName(const std::string& domain);

private:
    // Present: a row was found and id set.
    static Presence FindId(SQLHDBC connection, const std::string& sql, long& id);
    static Presence DomainListed(SQLHDBC connection, const std::string& domain);
};
