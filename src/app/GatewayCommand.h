// GatewayCommand: the Netware gateway's settings from the shell.
//   velmora gateway show
//   velmora gateway set [--at HH:MM | --every MINUTES] [--outbox DIR]
// The gateway page's work: when the running server collects the ".cnm"
// files Netware clients leave in the outbox directory, at a time of day or
// every so many minutes. A running server reads the settings at each
// minute's tick, so a change applies without a restart.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class GatewayCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
