// velmora: the mail server engine's one program.
//   velmora [--home DIR] setup      provision a home
//   velmora [--home DIR] reg ...    read and edit settings
//   velmora [--home DIR] account .. add, list, change and delete accounts
//   velmora [--home DIR] domain ..  the office's own domains
//   velmora [--home DIR] dkim ..    DKIM signing keys; dns DOMAIN: records to publish
//   velmora [--home DIR] alias ..   alias names of remote server account mail
//   velmora [--home DIR] relay ..   the address ranges that may relay
//   velmora [--home DIR] remoteaccount ..  remote mailboxes shared by local users
//   velmora [--home DIR] popaccount ..  a user's mapped remote POP3 mailboxes
//   velmora [--home DIR] gateway ..  the Netware gateway's schedule and outbox
//   velmora [--home DIR] connection ..  the dial-up link brought up for a pass
//   velmora [--home DIR] schedule ..  when cycles start by themselves; the weekly table
//   velmora [--home DIR] run        run the server until SIGTERM or SIGINT (with a display: the console)
//   velmora [--home DIR] console    the running server's console, in a process of its own
//   velmora [--home DIR] send-receive | status [--json] | stop   ask the running server
//   velmora [--home DIR] queue ..   list the outbound queue, delete a queued message
//   velmora [--home DIR] log ..     search the mail log, show a logged message
//   velmora help [COMMAND]          (also --help, -h) usage on standard output
#include <algorithm>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

#include "app/AccountCommand.h"
#include "app/AliasCommand.h"
#include "app/CServerApplication.h"
#include "app/DbCommand.h"
#include "app/BackupCommand.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "app/ConnectionCommand.h"
#include "app/ControlCommand.h"
#include "app/DkimCommand.h"
#include "app/DomainCommand.h"
#include "app/GatewayCommand.h"
#include "app/LogCommand.h"
#include "app/PopAccountCommand.h"
#include "app/QueueCommand.h"
#include "app/RelayCommand.h"
#include "app/RemoteAccountCommand.h"
#include "app/RegistryCommand.h"
#include "app/ScheduleCommand.h"
#include "app/SetupCommand.h"
#include "platform/Home.h"
#ifdef VELMORA_HAVE_CONSOLE
#include "console/CAttachedConsole.h"
#include "console/CConsoleApplication.h"
#endif

namespace {

void PrintRunUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] run [--headless]\n"
           "Runs the server on the home until SIGTERM or SIGINT.\n";
#ifdef VELMORA_HAVE_CONSOLE
    out << "With a display (DISPLAY or WAYLAND_DISPLAY set, or QT_QPA_PLATFORM chosen) it also shows the\n"
           "console: the main window \"Marlowin\" and a tray icon; closing the window hides it in the tray,\n"
           "the tray's Quit stops the server. --headless runs without the console even then.\n";
#else
    out << "This program was built without its console: it always runs headless.\n";
#endif
}

void PrintConsoleUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] console\n"
           "Shows the administration console of the server that runs on the home (started with\n"
           "`velmora run --headless` or as a service) on this display, working on the same database and\n"
           "settings. Send/Receive, the status window and the tray's \"Stop server\" go to the server;\n"
           "Quit closes the console alone. Without a running server or a display it says so and exits 1.\n";
#ifndef VELMORA_HAVE_CONSOLE
    out << "This program was built without its console.\n";
#endif
}

// One command's usage, or the program's for an unknown or empty name.
void PrintUsage(const std::string& command, std::ostream& out) {
    if (command == "setup") return SetupCommand::PrintUsage(out);
    if (command == "reg") return RegistryCommand::PrintUsage(out);
    if (command == "account") return AccountCommand::PrintUsage(out);
    if (command == "domain") return DomainCommand::PrintUsage(out);
    if (command == "dkim") return DkimCommand::PrintUsage(out);
    if (command == "dns") return DkimCommand::PrintDnsUsage(out);
    if (command == "alias") return AliasCommand::PrintUsage(out);
    if (command == "relay") return RelayCommand::PrintUsage(out);
    if (command == "remoteaccount") return RemoteAccountCommand::PrintUsage(out);
    if (command == "popaccount") return PopAccountCommand::PrintUsage(out);
    if (command == "gateway") return GatewayCommand::PrintUsage(out);
    if (command == "connection") return ConnectionCommand::PrintUsage(out);
    if (command == "schedule") return ScheduleCommand::PrintUsage(out);
    if (command == "run") return PrintRunUsage(out);
    if (command == "console") return PrintConsoleUsage(out);
    if (command == "send-receive" || command == "status" || command == "stop")
        return ControlCommand::PrintUsage(command, out);
    if (command == "queue") return QueueCommand::PrintUsage(out);
    if (command == "db") return DbCommand::PrintUsage(out);
    if (command == "backup" || command == "restore") return BackupCommand::PrintUsage(out);
    if (command == "log") return LogCommand::PrintUsage(out);
    CommandLine::PrintProgramUsage(out);
}

int Usage() {
    CommandLine::PrintProgramUsage(std::cerr);
    return 64;
}

bool AsksForHelp(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the program makes (the database and its companions when the
    // driver creates them, logs, mail, rewritten files) is its user's alone:
    // the home holds every password.
    ::umask(::umask(0077) | 0077);
    CommandLine line = CommandLine::Parse(argc, argv);
    if (!line.error.empty()) {
        std::cerr << "velmora: " << line.error << "\n";
        return 64;
    }
    if (line.command == "help") {
        PrintUsage(line.args.empty() ? "" : line.args[0], std::cout);
        return 0;
    }
    if (AsksForHelp(line.args)) {
        PrintUsage(line.command, std::cout);
        return 0;
    }
    static const char* const kCommands[] = {
        "setup", "reg",          "account", "domain", "alias",   "relay",      "remoteaccount", "popaccount", "run",
        "queue", "send-receive", "status",  "stop",   "gateway", "connection", "schedule",      "db",
        "log",   "backup",       "restore", "console", "dkim",
        "dns"};
    if (std::find(std::begin(kCommands), std::end(kCommands), line.command) == std::end(kCommands)) return Usage();
    const std::string home = Home::Resolve(line.home);
    // Only setup makes a home.
    if (line.command != "setup" && !CommandSupport::RequireHome(home, std::cerr)) return 1;
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
    if (line.command == "domain") {
        Home::Use(home);
        return DomainCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "dkim" || line.command == "dns") {
        Home::Use(home);
        return line.command == "dkim" ? DkimCommand::Run(line.args, std::cout, std::cerr)
                                      : DkimCommand::RunDns(line.args, std::cout, std::cerr);
    }
    if (line.command == "alias") {
        Home::Use(home);
        return AliasCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "gateway") {
        Home::Use(home);
        return GatewayCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "connection") {
        Home::Use(home);
        return ConnectionCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "schedule") {
        Home::Use(home);
        return ScheduleCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "relay") {
        Home::Use(home);
        return RelayCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "remoteaccount") {
        Home::Use(home);
        return RemoteAccountCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "popaccount") {
        Home::Use(home);
        return PopAccountCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "send-receive" || line.command == "status" || line.command == "stop")
        return ControlCommand::Run(line.command, home, line.args, std::cout, std::cerr);
    if (line.command == "log") {
        Home::Use(home);
        return LogCommand::Run(line.args, std::cout, std::cerr);
    }
    if (line.command == "backup") {
        Home::Use(home);
        return BackupCommand::Backup(home, line.args, std::cout, std::cerr);
    }
    if (line.command == "restore") {
        Home::Use(home);
        return BackupCommand::Restore(home, line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "db") {
        Home::Use(home);
        return DbCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "queue") {
        Home::Use(home);
        // Queued files are named relative to the home.
        if (::chdir(home.c_str()) != 0) {
            std::cerr << "velmora queue: the home " << home << " cannot be entered\n";
            return 1;
        }
        return QueueCommand::Run(line.args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
    }
    if (line.command == "console") {
        if (!line.args.empty()) return Usage();
#ifdef VELMORA_HAVE_CONSOLE
        return CAttachedConsole::Run(home, argc > 0 ? argv[0] : "velmora", std::cerr);
#else
        std::cerr << "velmora console: this program was built without its console\n";
        return 1;
#endif
    }
    if (line.command == "run") {
        bool headless = false;
        for (const std::string& arg : line.args) {
            if (arg != "--headless") return Usage();
            headless = true;
        }
#ifdef VELMORA_HAVE_CONSOLE
        // With a display the console shows the main window and the tray icon.
        if (!headless && CConsoleApplication::DisplayAvailable())
            return CConsoleApplication::Run(home, argc > 0 ? argv[0] : "velmora", std::cerr);
#else
        (void)headless;  // a build without the console always runs headless
#endif
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
