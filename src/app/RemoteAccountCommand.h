// RemoteAccountCommand: remote server accounts, whole remote POP3 mailboxes
// whose mail a send and receive cycle fetches and shares out among local
// users (by recipient and alias, or all of it to the owner).
//   velmora remoteaccount add NAME --owner USER --server HOST --user REMOTEUSER
//                         [--port N] [--password P] [--leave-on-server] [--alias ADDRESS]
//   velmora remoteaccount list
//   velmora remoteaccount delete NAME [--yes]
//   velmora remoteaccount set NAME [--owner USER] [--server HOST] [--port N] [--user REMOTEUSER]
//                         [--password P] [--leave-on-server on|off] [--alias ADDRESS|off]
// Without --password, add reads the password from the first line of
// standard input. Passwords are never shown.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class RemoteAccountCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
    static void PrintUsage(std::ostream& out);
};
