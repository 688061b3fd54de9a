// PopAccountCommand: a user's mapped accounts from the shell.
//   velmora popaccount add USER SERVER REMOTEUSER [--port N] [--password P] [--leave-on-server]
//   velmora popaccount list USER
//   velmora popaccount delete USER SERVER REMOTEUSER
//   velmora popaccount enable|disable USER SERVER REMOTEUSER
// A mapped account is a remote POP3 mailbox whose mail every send and
// receive pass fetches into the local account USER. Without --password the
// password is read from standard input. Listings never show passwords.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class PopAccountCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
