// AliasCommand: the alias names of an account's remote domain mailboxes.
//   velmora alias add OWNER USER ALIAS
//   velmora alias list OWNER
//   velmora alias delete OWNER USER ALIAS [--yes]
// Mail fetched from a remote server account owned by OWNER that is addressed
// to ALIAS (a recipient's user part or display name) is distributed to USER.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class AliasCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
    static void PrintUsage(std::ostream& out);
};
