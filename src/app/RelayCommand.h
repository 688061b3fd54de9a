// RelayCommand: the client address ranges that may relay through the SMTP
// server, and the switch that limits relaying to them.
//   velmora relay add FIRST [LAST]
//   velmora relay list
//   velmora relay delete FIRST
//   velmora relay blocking on|off
#pragma once

#include <ostream>
#include <string>
#include <vector>

class RelayCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
