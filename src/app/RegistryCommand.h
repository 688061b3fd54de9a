// RegistryCommand: `velmora reg get|set|list|delete` edits the settings file
// from the shell. KEY is below the product key ("Preferences", "Servers\#1")
// unless it starts with "SOFTWARE\" or "System\".
//   velmora reg get KEY VALUE
//   velmora reg set KEY VALUE dword|string DATA
//   velmora reg list [KEY]
//   velmora reg delete KEY VALUE
#pragma once

#include <ostream>
#include <string>
#include <vector>

class RegistryCommand {
public:
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};
