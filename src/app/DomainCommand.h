// DomainCommand: the office's own domains from the shell.
//   velmora domain add NAME [--catch-all USER]
//   velmora domain list
//   velmora domain delete NAME
// Mail for a listed domain is local: it is stored for the account named by
// the address's user part (or, with --catch-all, for USER when there is no
// such account) instead of being relayed. Changes apply to a running server
// at its next message.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class CMailDatabase;

class DomainCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
    // Adds one domain on a connected database; the exit code as above.
    static int Add(CMailDatabase& db, const std::string& domain, const std::string& catchAll, std::ostream& out,
                   std::ostream& err);
};
