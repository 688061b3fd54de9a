// LogCommand: the mail log search from the shell; no server is needed.
//   velmora log search [CONDITIONS]     one numbered line per logged message
//   velmora log show [CONDITIONS] N     the whole N-th message of that search
// The conditions are those of the console's search form; N is the number at
// the start of a search line, counted in the same search again.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class LogCommand {
public:
    // Exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
