// ForwardCommand: an account's forwarding addresses from the shell.
//   velmora account forward USER list
//   velmora account forward USER add ADDRESS [--local]
//   velmora account forward USER delete ADDRESS
//   velmora account forward USER --retain on|off
// --local sends the copies through the server's own SMTP listener (as a
// local address needs); otherwise they go onto the outbound queue for the
// address's domain. --retain keeps a copy in the account's own mailbox too.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class ForwardCommand {
public:
    // args after "forward". Returns the exit code: 0 done, 1 refused, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
