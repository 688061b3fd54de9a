// AccountCommand: the user editor's work from the shell.
//   velmora account add NAME --email ADDR [--password P] [--admin]
//                       [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]
//   velmora account list
//   velmora account passwd NAME [--password P]
//   velmora account delete NAME [--yes]
//   velmora account autoresponse|forward ... (AutoResponseCommand, ForwardCommand)
//   velmora account netware NAME ...   (NetwareCommand)
// The checks are the editor's, in its order (AccountEditorCheck); the
// answers are worded for the shell and name the cause of a refusal. Without
// --password the password is read from the input: on a terminal twice and
// without echo, otherwise one line. A delete is confirmed on a terminal and
// needs --yes anywhere else.
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
    static void PrintUsage(std::ostream& out);
};
