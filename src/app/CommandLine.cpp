// CommandLine: parsing of the program's arguments, and the program's help.
#include "app/CommandLine.h"

#include <ostream>

CommandLine CommandLine::Parse(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--home") {
            if (i + 1 >= argc) {
                line.error = "--home needs a directory";
                return line;
            }
            line.home = argv[++i];
        } else if (arg.rfind("--home=", 0) == 0) {
            line.home = arg.substr(7);
        } else if (line.command.empty() && !arg.empty() && arg[0] != '-') {
            line.command = arg;
        } else {
            line.args.push_back(arg);
        }
    }
    return line;
}

bool CommandLine::TakeOption(const std::string& name, std::string& value) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size()) {
            value = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            return true;
        }
        if (args[i].rfind(name + "=", 0) == 0) {
            value = args[i].substr(name.size() + 1);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

void CommandLine::PrintProgramUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] COMMAND [ARGS]\n"
           "  setup [--postmaster-password P] [--domain NAME] [--database postgresql://USER@HOST:PORT/DB]\n"
           "                        provision the home (settings, database, directories,\n"
           "                        the postmaster account); repairs a moved home\n"
           "  reg get KEY VALUE     show a setting and its type\n"
           "  reg set KEY VALUE dword|string DATA [--force]\n"
           "  reg list [KEY]        list settings\n"
           "  reg delete KEY VALUE\n"
           "  account add NAME --email ADDR [--password P] [--admin]\n"
           "              [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
           "  account set NAME [--email ADDR] [--admin on|off]\n"
           "              [--mailbox-limit KB] [--receive-limit KB] [--send-limit KB]\n"
           "  account list\n"
           "  account passwd NAME [--password P]\n"
           "  account delete NAME [--yes]\n"
           "  account autoresponse USER [--text-file FILE | --off]\n"
           "                        the account's automatic reply\n"
           "  account forward USER list | add ADDRESS [--local] | delete ADDRESS | --retain on|off\n"
           "                        where the account's mail is forwarded\n"
           "  account netware NAME [--dir DIR --address ADDR [--leave-copy] | --off]\n"
           "                        the user's Netware mail directory\n"
           "  domain add NAME [--catch-all USER] | domain list | domain delete NAME\n"
           "                        the domains whose mail is local\n"
           "  dkim add DOMAIN [--selector S] | dkim list\n"
           "                        DKIM keys that sign the office's outgoing mail\n"
           "  dns DOMAIN            the MX, SPF, DKIM and DMARC records to publish\n"           "  alias add OWNER USER ALIAS | alias list OWNER | alias delete OWNER USER ALIAS [--yes]\n"
           "                        who gets remote server account mail for an alias\n"
           "  relay add FIRST [LAST] | relay list | relay delete FIRST | relay blocking on|off\n"
           "                        the client address ranges that may relay\n"
           "  remoteaccount add|list|delete|set ...\n"
           "                        remote mailboxes whose mail is shared among local users\n"
           "  popaccount add USER SERVER REMOTEUSER [--port N] [--password P] [--leave-on-server]\n"
           "  popaccount list USER | popaccount delete|enable|disable USER SERVER REMOTEUSER\n"
           "                        a user's remote POP3 mailboxes fetched by each pass\n"
           "  gateway show | gateway set [--at HH:MM | --every MINUTES] [--outbox DIR]\n"
           "                        when the Netware clients' outgoing mail is collected\n"
           "  connection show | connection set [--method ras|lan] [--entry NAME] [--user NAME]\n"
           "              [--password P|-] [--retries N] [--interval SECONDS] | connection connect|hangup\n"
           "                        the dial-up link a pass brings up first (phonebook.conf)\n"
           "  schedule show | schedule set [--mode at|every|complex] [--time HH:MM]\n"
           "              [--weekdays DAYS] [--interval MINUTES] [--automatic | --manual]\n"
           "  schedule list | schedule add --days DAYS --at HH:MM [--send-receive] [--run COMMAND]\n"
           "  schedule delete --days DAYS --at HH:MM\n"
           "                        when send and receive cycles and commands run by themselves\n"
           "  run [--headless]      run the server until SIGTERM or SIGINT (with its console on a display)\n"
           "  console               the console of the server running on the home, on this display\n"
           "  send-receive          ask the running server for a send and receive cycle\n"
           "  status [--json]       the running server's cycle, status lines and queue\n"
           "  stop                  stop the running server and wait until it has\n"
           "  queue list | queue delete FILE [--yes]\n"
           "                        the outbound queue (no server needed)\n"
           "  log search [--from TEXT] [--to TEXT] [--subject TEXT] [--and-from] [--and-to]\n"
           "             [--containing WORDS] [--all-words] [--during START END] [--in received|sent]\n"
           "  log show [CONDITIONS] N\n"
           "                        find logged mail; print the N-th message of a search\n"
           "  db migrate --to postgresql://USER@HOST:PORT/DB\n"
           "  backup DIR            a consistent copy of the home in a new directory, also while it serves\n"
           "  restore DIR [--yes]   puts a backup back into the stopped home\n"
           "                        move the mail database into an empty PostgreSQL database\n"
           "  help [COMMAND]        this text, or one command's\n"
           "The home is --home, else $VELMORA_HOME, else ~/.velmora.\n";
}
