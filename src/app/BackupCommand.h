// BackupCommand: the home's backup and restore from the shell.
//   velmora backup DIR          a consistent copy of the home, also while it serves
//   velmora restore DIR [--yes] puts a backup back into the stopped home
// DIR of a backup must be new or empty. A running server takes the moment
// of the copy itself (through the control socket) so that mail goes on.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class BackupCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Backup(const std::string& home, const std::vector<std::string>& args, std::ostream& out,
                      std::ostream& err);
    static int Restore(const std::string& home, const std::vector<std::string>& args, std::istream& in,
                       std::ostream& out, std::ostream& err, bool interactive);
    static void PrintUsage(std::ostream& out);
};
