// PopAccountCommand: popaccount add, list, delete, enable and disable on
// the POPACCOUNTS rows of one local account.
#include "app/PopAccountCommand.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "foundation/CMailDatabase.h"
#include "store/CMappedAccounts.h"
#include "retrieval/MappedAccountCheck.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;
constexpr const char* kPrefix = "velmora popaccount: ";

int Usage(std::ostream& err) {
    PopAccountCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& why) {
    err << kPrefix << why << "\n";
    return kRefused;
}

// The mapping named on the line: USER SERVER REMOTEUSER, each checked.
struct Mapping {
    std::string user;
    long accountId = 0;
    std::string server;
    std::string remoteUser;
};

bool Resolve(CMailDatabase& db, const std::string& user, long& accountId, std::ostream& err) {
    bool failed = false;
    const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), user, &failed);
    if (id) {
        accountId = *id;
        return true;
    }
    err << kPrefix
        << (failed ? "the accounts cannot be read: the database did not answer"
                   : "there is no account named " + user + " (velmora account list shows them)")
        << "\n";
    return false;
}

bool CheckMapping(const std::vector<std::string>& args, Mapping& mapping, std::ostream& err) {
    mapping.user = args[0];
    mapping.server = args[1];
    mapping.remoteUser = args[2];
    if (MappedAccountCheck::CheckServer(mapping.server) != MappedAccountCheck::Outcome::Ok) {
        err << kPrefix << "\"" << mapping.server
            << "\" is not a server: give a host name such as pop.example.org or an IP address\n";
        return false;
    }
    if (MappedAccountCheck::CheckUser(mapping.remoteUser) != MappedAccountCheck::Outcome::Ok) {
        err << kPrefix << "the remote user name must be 1 to " << CMappedAccounts::kMaxRemoteUser
            << " printable ASCII characters without blanks\n";
        return false;
    }
    return true;
}

std::string Name(const Mapping& m) {
    return m.remoteUser + " on " + m.server + " for " + m.user;
}

int Add(CMailDatabase& db, const Mapping& mapping, const std::string& portText, std::string password, bool leave,
        bool hasPassword, std::istream& in, std::ostream& out, std::ostream& err, bool interactive) {
    CMappedAccounts::Entry entry;
    entry.server = mapping.server;
    entry.remoteUser = mapping.remoteUser;
    entry.leaveOnServer = leave;
    if (!portText.empty()) {
        char* end = nullptr;
        const long port = std::strtol(portText.c_str(), &end, 10);
        if (end == portText.c_str() || *end != '\0' || port < 1 || port > 65535)
            return Refuse(err, "the port must be a number from 1 to 65535, not \"" + portText + "\"");
        entry.port = static_cast<int>(port);
    }
    if (!hasPassword)
        password = CommandSupport::ReadSecret("Password of " + mapping.remoteUser + " at " + mapping.server + ": ", in,
                                              out, interactive);
    if (MappedAccountCheck::CheckPassword(password) != MappedAccountCheck::Outcome::Ok)
        return Refuse(err,
                      "the password must be 1 to 150 printable ASCII characters: give it with --password P or "
                      "on standard input");
    switch (CMappedAccounts::Add(db.GetConnectionHandle(), mapping.accountId, entry, password)) {
        case CMappedAccounts::Change::Made:
            out << "Mapped account " << Name(mapping) << " added (port " << entry.port << ", mail "
                << (leave ? "left on" : "deleted from") << " the server after fetching)\n";
            return kDone;
        case CMappedAccounts::Change::NothingToDo:
            return Refuse(err, Name(mapping) + " is mapped already");
        case CMappedAccounts::Change::Failed:
            break;
    }
    return Refuse(err, Name(mapping) + " could not be added: the database did not take the change");
}

int List(CMailDatabase& db, const std::string& user, long accountId, std::ostream& out, std::ostream& err) {
    std::vector<CMappedAccounts::Entry> entries;
    if (!CMappedAccounts::List(db.GetConnectionHandle(), accountId, entries))
        return Refuse(err, "the mapped accounts of " + user + " cannot be read");
    if (entries.empty())
        out << user << " has no mapped account: velmora popaccount add " << user << " SERVER REMOTEUSER\n";
    for (const CMappedAccounts::Entry& e : entries)
        out << e.server << ":" << e.port << "  " << e.remoteUser << "  " << (e.enabled ? "enabled" : "disabled")
            << (e.leaveOnServer ? "  leave-on-server" : "") << "\n";
    return kDone;
}

}  // namespace

void PopAccountCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora popaccount add USER SERVER REMOTEUSER [--port N] [--password P] [--leave-on-server]\n"
           "       velmora popaccount list USER\n"
           "       velmora popaccount delete USER SERVER REMOTEUSER\n"
           "       velmora popaccount enable|disable USER SERVER REMOTEUSER\n"
           "A mapped account is a remote POP3 mailbox whose mail each send and receive pass fetches into\n"
           "the local account USER. Without --password the password is read from standard input.\n";
}

int PopAccountCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                           bool interactive) {
    if (args.empty()) return Usage(err);
    const std::string& verb = args[0];
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    std::string portText, password;
    bool hasPassword = false, leave = false;
    if (verb == "add") {
        line.TakeOption("--port", portText);
        hasPassword = line.TakeOption("--password", password);
        const auto flag = std::find(line.args.begin(), line.args.end(), "--leave-on-server");
        if (flag != line.args.end()) {
            leave = true;
            line.args.erase(flag);
        }
    }
    for (const std::string& arg : line.args)
        if (arg.size() > 1 && arg[0] == '-') return Usage(err);
    const bool named = verb == "add" || verb == "delete" || verb == "enable" || verb == "disable";
    if (!named && verb != "list") return Usage(err);
    if (line.args.size() != (named ? 3u : 1u)) return Usage(err);

    Mapping mapping;
    if (named && !CheckMapping(line.args, mapping, err)) return kRefused;
    CMailDatabase db;
    if (!CommandSupport::Connect(db, "popaccount", err)) return kRefused;
    if (!Resolve(db, line.args[0], mapping.accountId, err)) return kRefused;
    if (verb == "list") return List(db, line.args[0], mapping.accountId, out, err);
    if (verb == "add") return Add(db, mapping, portText, password, leave, hasPassword, in, out, err, interactive);

    const SQLHDBC connection = db.GetConnectionHandle();
    const CMappedAccounts::Change change =
        verb == "delete" ? CMappedAccounts::Delete(connection, mapping.accountId, mapping.server, mapping.remoteUser)
                         : CMappedAccounts::SetEnabled(connection, mapping.accountId, mapping.server,
                                                       mapping.remoteUser, verb == "enable");
    switch (change) {
        case CMappedAccounts::Change::Made:
            out << "Mapped account " << Name(mapping) << " " << (verb == "delete" ? "deleted" : verb + "d") << "\n";
            return kDone;
        case CMappedAccounts::Change::NothingToDo:
            return Refuse(err, Name(mapping) + " is not mapped (velmora popaccount list " + mapping.user +
                                   " shows the mapped accounts)");
        case CMappedAccounts::Change::Failed:
            break;
    }
    return Refuse(err, Name(mapping) + " could not be changed: the database did not take the change");
}
