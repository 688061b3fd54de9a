// AccountCommand: the user editor's work from the shell.
//   velmora account add NAME --password P --email ADDR [--admin]
//                       [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]
//   velmora account list
//   velmora account passwd NAME [--password P]
//   velmora account delete NAME [--yes]
// The checks run in the editor's order and answer with its messages ("User
// already exists", "User created", ...). Without --password the password is
// read from the input: on a terminal twice and without echo, otherwise one
// line. On a terminal a delete is confirmed first unless --yes is given.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class AccountCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    // interactive: the input is a terminal.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
};
