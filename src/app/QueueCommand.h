// QueueCommand: the outbound queue from the shell; no server is needed.
//   velmora queue list           one line per OutBoundMails row
//   velmora queue delete FILE    delete a queued message (all its recipients)
// A delete asks first on a terminal and needs --yes anywhere else.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class QueueCommand {
public:
    // Runs in the home (queued files are named relative to it). Exit code:
    // 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
    static void PrintUsage(std::ostream& out);
};
