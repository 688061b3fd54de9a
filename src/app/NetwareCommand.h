// NetwareCommand: an account's Netware exchange from the shell.
//   velmora account netware USER                   show it
//   velmora account netware USER --dir D --address A [--leave-copy]
//   velmora account netware USER --off
// The account dialog's work: D is the directory the user's Netware client
// reads its mail from (each delivered message is written there as a ".cnm"
// file; with --leave-copy the mailbox keeps its copy too), A the client
// user's Internet address, whose user part is also the Netware login name
// the gateway knows the user's outgoing files by.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class NetwareCommand {
public:
    // args: what follows "netware". Returns the exit code: 0 done, 1 refused
    // or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
