// ConnectionCommand: the connection page's work from the shell.
//   velmora connection show
//   velmora connection set [--method ras|lan] [--entry NAME] [--user NAME]
//                          [--password P|-] [--retries N] [--interval SECONDS]
//   velmora connection connect | hangup
// set writes "Connect.stg" in the home as the page's "Update" does (a
// running server reads it when its next cycle starts); connect and hangup
// run the phone-book entry's up and down commands as the page's buttons.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class ConnectionCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
    static void PrintUsage(std::ostream& out);
};
