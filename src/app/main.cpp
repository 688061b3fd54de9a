// velmora: the mail server engine's one program.
//   velmora [--home DIR] setup      provision a home
//   velmora [--home DIR] reg ...    read and edit settings
//   velmora [--home DIR] account .. add, list, change and delete accounts
//   velmora [--home DIR] run        run the server until SIGTERM or SIGINT
#include <iostream>

#include <unistd.h>

#include "app/AccountCommand.h"
#include "app/CServerApplication.h"
#include "app/CommandLine.h"
#include "app/RegistryCommand.h"
#include "app/SetupCommand.h"
#include "platform/Home.h"

namespace {
int Usage() {
    std::cerr << "usage: velmora [--home DIR] COMMAND\n"
                 "  setup [--postmaster-password P]\n"
                 "                        provision the home (settings, database, directories,\n"
                 "                        the postmaster account)\n"
                 "  reg get KEY VALUE     show a setting\n"
                 "  reg set KEY VALUE dword|string DATA\n"
                 "  reg list [KEY]        list settings\n"
                 "  reg delete KEY VALUE\n"
                 "  account add NAME --password P --email ADDR [--admin]\n"
                 "              [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
                 "  account list\n"
                 "  account passwd NAME [--password P]\n"
                 "  account delete NAME [--yes]\n"
                 "  run [--headless]      run the server until SIGTERM or SIGINT\n"
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
        return SetupCommand::Run(home, line.args, std::cout, std::cerr);
    }
    if (line.command == "reg") {
        Home::Use(home);
        return RegistryCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "account") {
        Home::Use(home);
        return AccountCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "run") {
        // This program has no console of its own yet: headless is the only way it runs.
        for (const std::string& arg : line.args)
            if (arg != "--headless") return Usage();
        CServerApplication::BlockStopSignals();
        CServerApplication server;
        if (!server.Start(home, std::cerr)) return 1;
        std::cerr << "velmora: serving " << home << " as process " << ::getpid() << " (SIGTERM or Ctrl-C to stop)\n";
        server.WaitForStop();
        server.Stop();
        return 0;
    }
    return Usage();
}
