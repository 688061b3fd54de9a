// velmora: the mail server engine's one program.
//   velmora [--home DIR] setup      provision a home
//   velmora [--home DIR] reg ...    read and edit settings
#include <iostream>

#include "app/CommandLine.h"
#include "app/RegistryCommand.h"
#include "app/SetupCommand.h"
#include "platform/Home.h"

namespace {
int Usage() {
    std::cerr << "usage: velmora [--home DIR] COMMAND\n"
                 "  setup                 provision the home (settings, database, directories)\n"
                 "  reg get KEY VALUE     show a setting\n"
                 "  reg set KEY VALUE dword|string DATA\n"
                 "  reg list [KEY]        list settings\n"
                 "  reg delete KEY VALUE\n"
                 "The home is --home, else $VELMORA_HOME, else ~/.velmora.\n";
    return 64;
}
}  // namespace

int main(int argc, char** argv) {
    CommandLine line = CommandLine::Parse(argc, argv);
    if (!line.error.empty()) {
        std::cerr << "velmora: " << line.error << "\n";
        return 64;
    }
    const std::string home = Home::Resolve(line.home);
    if (line.command == "setup") {
        if (!line.args.empty()) return Usage();
        return SetupCommand::Run(home, std::cout, std::cerr);
    }
    if (line.command == "reg") {
        Home::Use(home);
        return RegistryCommand::Run(line.args, std::cout, std::cerr);
    }
    return Usage();
}
