// RemoteAccountCommand: remoteaccount add, list, delete and set on the
// RemoteServerAccounts table.
#include "app/RemoteAccountCommand.h"

#include <cstdlib>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CRemoteServerAccounts.h"
#include "foundation/RemoteAccountCheck.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

using Accounts = CRemoteServerAccounts;
using Check = RemoteAccountCheck;

int Usage(std::ostream& err) {
    RemoteAccountCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora remoteaccount: " << message << "\n";
    return kRefused;
}

// The options a change may carry, each checked; empty strings are options not given.
struct Options {
    std::string owner, server, port, user, password, leave, alias;
    bool hasPassword = false;
    bool leaveFlag = false;  // add's bare --leave-on-server
};

bool CheckOptions(const Options& o, CMailDatabase& db, std::ostream& err) {
    if (!o.owner.empty() && CAccountRows::AccountExists(db.GetConnectionHandle(), o.owner) != CAccountRows::Presence::Present) {
        Refuse(err, "there is no account named " + o.owner + " to own the remote account (velmora account list)");
        return false;
    }
    if (!o.server.empty() && Check::CheckServer(o.server) != Check::Outcome::Ok) {
        Refuse(err, "\"" + o.server + "\" is not a server name or address (at most 255 characters, no blanks)");
        return false;
    }
    if (!o.port.empty()) {
        long port = 0;
        if (Check::CheckPort(o.port, port) != Check::Outcome::Ok) {
            Refuse(err, "\"" + o.port + "\" is not a port: use a number from 1 to 65535");
            return false;
        }
    }
    if (!o.user.empty() && Check::CheckUser(o.user) != Check::Outcome::Ok) {
        Refuse(err, "\"" + o.user + "\" is not a remote user name (at most 64 characters, no blanks)");
        return false;
    }
    if (o.hasPassword && Check::CheckPassword(o.password) != Check::Outcome::Ok) {
        Refuse(err, "the password is longer than 64 characters or holds a line break");
        return false;
    }
    if (!o.leave.empty() && o.leave != "on" && o.leave != "off") {
        Refuse(err, "--leave-on-server takes on or off");
        return false;
    }
    if (!o.alias.empty() && o.alias != "off" && Check::CheckAliasAddress(o.alias) != Check::Outcome::Ok) {
        Refuse(err, "\"" + o.alias + "\" is not a domain or address for --alias (such as example.org or " +
                        "office@example.org)");
        return false;
    }
    return true;
}

void PrintAccount(const Accounts::Account& a, std::ostream& out) {
    out << a.serverName << "  owner " << a.userName << "  " << a.userId << " at " << a.serverAddr << ":" << a.port
        << (a.leaveMailOnServer ? "  leaves mail on the server" : "")
        << (a.alias ? "  shared by recipient (" + a.aliasAddress + ")" : "  all mail to the owner") << "\n";
}

}  // namespace

void RemoteAccountCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora remoteaccount add NAME --owner USER --server HOST --user REMOTEUSER\n"
           "                         [--port N] [--password P] [--leave-on-server] [--alias ADDRESS]\n"
           "       velmora remoteaccount list\n"
           "       velmora remoteaccount delete NAME [--yes]\n"
           "       velmora remoteaccount set NAME [--owner USER] [--server HOST] [--port N] [--user REMOTEUSER]\n"
           "                         [--password P] [--leave-on-server on|off] [--alias ADDRESS|off]\n"
           "A send and receive cycle fetches the remote POP3 mailbox REMOTEUSER at HOST (port 110 unless\n"
           "given). With --alias, its mail goes to the local users its recipients name at ADDRESS (a domain,\n"
           "or a shared address with the user's name before it or in parentheses) and to their aliases\n"
           "(velmora alias); everything else, and all mail without --alias, goes to the owner.\n"
           "Without --password, add reads the password from the first line of standard input.\n";
}

int RemoteAccountCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                              std::ostream& err, bool interactive) {
    if (args.empty()) return Usage(err);
    const std::string& verb = args[0];
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    Options o;
    bool confirmed = false;
    if (verb == "add" || verb == "set") {
        line.TakeOption("--owner", o.owner);
        line.TakeOption("--server", o.server);
        line.TakeOption("--port", o.port);
        line.TakeOption("--user", o.user);
        o.hasPassword = line.TakeOption("--password", o.password);
        line.TakeOption("--alias", o.alias);
        if (verb == "set") {
            line.TakeOption("--leave-on-server", o.leave);
        } else {
            o.leaveFlag = std::erase(line.args, "--leave-on-server") > 0;
        }
    }
    if (verb == "delete") confirmed = std::erase(line.args, "--yes") > 0;
    for (const std::string& arg : line.args)
        if (arg.size() > 1 && arg[0] == '-') return Usage(err);
    if (verb == "list" ? !line.args.empty() : line.args.size() != 1) return Usage(err);
    if (verb != "add" && verb != "list" && verb != "delete" && verb != "set") return Usage(err);
    if (verb == "add" && (o.owner.empty() || o.server.empty() || o.user.empty() || o.alias == "off")) {
        err << "velmora remoteaccount: add needs --owner, --server and --user\n";
        return Usage(err);
    }
    const std::string name = verb == "list" ? "" : line.args[0];
    if (verb != "list" && Check::CheckName(name) != Check::Outcome::Ok)
        return Refuse(err, "\"" + name + "\" cannot name a remote account: use 1 to 64 characters without blanks");

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "remoteaccount", err)) return kRefused;
    Accounts accounts(db.GetConnectionHandle());
    if (!accounts.Load()) return Refuse(err, "the remote accounts cannot be read");
    if (verb == "list") {
        if (accounts.Accounts().empty()) out << "No remote server account yet: velmora remoteaccount add NAME ...\n";
        for (const Accounts::Account& a : accounts.Accounts()) PrintAccount(a, out);
        return kDone;
    }
    const Accounts::Account* existing = accounts.Find(name);
    if (verb == "add" && existing) return Refuse(err, "a remote account named " + name + " exists already");
    if (verb != "add" && !existing)
        return Refuse(err, "there is no remote account named " + name + " (velmora remoteaccount list shows them)");
    if (!CheckOptions(o, db, err)) return kRefused;

    if (verb == "add") {
        Accounts::Account a;
        a.serverName = name;
        a.userName = o.owner;
        a.userId = o.user;
        a.serverAddr = o.server;
        a.port = o.port.empty() ? 110 : std::strtol(o.port.c_str(), nullptr, 10);
        a.leaveMailOnServer = o.leaveFlag;
        a.alias = !o.alias.empty();
        a.aliasAddress = FoldCase(o.alias);
        if (!o.hasPassword) {
            a.pass =
                CommandSupport::ReadSecret("Password of " + o.user + " at " + o.server + ": ", in, out, interactive);
            o.password = a.pass;
            o.hasPassword = true;
            if (!CheckOptions(o, db, err)) return kRefused;
        } else {
            a.pass = o.password;
        }
        if (!accounts.Add(a))
            return Refuse(err, "the remote account " + name + " was not added: the database did not take the change");
        out << "Remote account " << name << " added: ";
        PrintAccount(a, out);
        return kDone;
    }
    if (verb == "delete") {
        if (!confirmed) {
            const CommandSupport::Answer answer =
                CommandSupport::Confirm("Delete the remote account " + name + "?", in, out, interactive);
            if (answer == CommandSupport::Answer::NotATerminal)
                return Refuse(err, "the remote account " + name +
                                       " was not deleted: standard input is not a terminal, so nothing can be "
                                       "confirmed; repeat with --yes to delete it");
            if (answer == CommandSupport::Answer::No) return Refuse(err, "nothing was deleted");
        }
        if (!accounts.Delete(name))
            return Refuse(err, "the remote account " + name + " was not deleted: the database did not take the change");
        out << "Remote account " << name << " deleted; mail fetched already is still distributed\n";
        return kDone;
    }

    // set: each change is its own statement; the first refusal stops.
    if (o.owner.empty() && o.server.empty() && o.port.empty() && o.user.empty() && !o.hasPassword && o.leave.empty() &&
        o.alias.empty())
        return Usage(err);
    using T = Accounts::TextColumn;
    using F = Accounts::FlagColumn;
    bool ok = (o.owner.empty() || accounts.SetText(name, T::UserName, o.owner)) &&
              (o.server.empty() || accounts.SetText(name, T::ServerAddr, o.server)) &&
              (o.port.empty() || accounts.SetPort(name, std::strtol(o.port.c_str(), nullptr, 10))) &&
              (o.user.empty() || accounts.SetText(name, T::UserId, o.user)) &&
              (!o.hasPassword || accounts.SetText(name, T::Pass, o.password)) &&
              (o.leave.empty() || accounts.SetFlag(name, F::LeaveMailOnServer, o.leave == "on"));
    if (ok && !o.alias.empty()) {
        ok = o.alias == "off"
                 ? accounts.SetFlag(name, F::Alias, false)
                 : accounts.SetText(name, T::AliasAddress, FoldCase(o.alias)) && accounts.SetFlag(name, F::Alias, true);
    }
    if (!ok) return Refuse(err, "the remote account " + name + " was not changed fully: the database refused");
    if (!accounts.Load() || !accounts.Find(name)) return Refuse(err, "the remote account " + name + " cannot be read");
    out << "Remote account changed: ";
    PrintAccount(*accounts.Find(name), out);
    return kDone;
}
