// RegistryCommand: `velmora reg get|set|list|delete` edits the settings file
// from the shell. KEY is below the product key ("Preferences", "Servers\#1")
// unless it starts with "SOFTWARE\" or "System\".
//   velmora reg get KEY VALUE
//   velmora reg set KEY VALUE dword|string DATA [--force]
//   velmora reg list [KEY]
//   velmora reg delete KEY VALUE
// `set` checks the change against the settings catalogue before anything is
// written: a name the catalogue does not know needs --force, a type other
// than the catalogue's or a number out of the readers' range is refused, and
// a refused change leaves the file as it was.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class RegistryCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 2 unreadable file, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
