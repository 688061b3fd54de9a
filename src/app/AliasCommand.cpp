// AliasCommand: alias add, list and delete on the Aliases table.
#include "app/AliasCommand.h"

#include <algorithm>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "foundation/AliasNameCheck.h"
#include "foundation/CAliasMapping.h"
#include "foundation/CMailDatabase.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    AliasCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora alias: " << message << "\n";
    return kRefused;
}

bool IsAccount(CMailDatabase& db, const std::string& name, const char* role, std::ostream& err) {
    switch (CAccountRows::AccountExists(db.GetConnectionHandle(), name)) {
        case CAccountRows::Presence::Present:
            return true;
        case CAccountRows::Presence::Absent:
            Refuse(err, std::string("there is no account named ") + name + " to " + role +
                            " (velmora account list shows them)");
            return false;
        case CAccountRows::Presence::Unknown:
            break;
    }
    Refuse(err, "the accounts cannot be read");
    return false;
}

}  // namespace

void AliasCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora alias add OWNER USER ALIAS\n"
           "       velmora alias list OWNER\n"
           "       velmora alias delete OWNER USER ALIAS [--yes]\n"
           "Mail fetched by OWNER's remote server accounts for ALIAS (the user part of a recipient\n"
           "address, or the name before a shared address) is delivered to the account USER.\n"
           "Aliases are compared in lower case. A delete asks first on a terminal and needs --yes elsewhere.\n";
}

int AliasCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                      bool interactive) {
    if (args.empty()) return Usage(err);
    const std::string& verb = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool confirmed = std::erase(rest, "--yes") > 0;
    if (confirmed && verb != "delete") return Usage(err);
    for (const std::string& arg : rest)
        if (arg.size() > 1 && arg[0] == '-') return Usage(err);
    if (verb == "list" ? rest.size() != 1 : (verb != "add" && verb != "delete") || rest.size() != 3) return Usage(err);

    const std::string& owner = rest[0];
    CMailDatabase db;
    if (!CommandSupport::Connect(db, "alias", err)) return kRefused;
    if (!IsAccount(db, owner, "own the aliases", err)) return kRefused;
    CAliasMapping aliases(db.GetConnectionHandle(), owner);
    if (!aliases.ListAliases()) return Refuse(err, "the aliases of " + owner + " cannot be read");

    if (verb == "list") {
        if (aliases.Entries().empty())
            out << owner << " has no aliases yet: velmora alias add " << owner << " USER ALIAS\n";
        for (const CAliasMapping::Entry& entry : aliases.Entries())
            out << entry.aliasName << " -> " << entry.userId << "\n";
        return kDone;
    }

    const std::string& user = rest[1];
    // Distribution looks aliases up by the lower-cased recipient text.
    const std::string alias = FoldCase(rest[2]);
    const auto sameAlias = [&](const CAliasMapping::Entry& e) { return e.aliasName == alias; };
    const auto& entries = aliases.Entries();
    if (verb == "add") {
        if (AliasNameCheck::Check(alias) != AliasNameCheck::Outcome::Ok)
            return Refuse(err, "\"" + rest[2] + "\" cannot be an alias: use 1 to 64 printable characters without " +
                                   "blanks at either end and without , ; @ < > ( ) or \"");
        if (!IsAccount(db, user, "receive the mail", err)) return kRefused;
        if (const auto it = std::find_if(entries.begin(), entries.end(), sameAlias); it != entries.end()) {
            if (it->userId == user) {
                out << "Alias " << alias << " of " << owner << " leads to " << user << " already\n";
                return kDone;
            }
            return Refuse(
                err, "the alias " + alias + " of " + owner + " leads to " + it->userId + " already; delete that first");
        }
        if (!aliases.AddAlias(user, alias))
            return Refuse(err, "the alias " + alias + " was not added: the database did not take the change");
        out << "Alias " << alias << " added: mail of " << owner << "'s remote server accounts for " << alias
            << " goes to " << user << "\n";
        return kDone;
    }

    const bool listed = std::any_of(entries.begin(), entries.end(),
                                    [&](const CAliasMapping::Entry& e) { return sameAlias(e) && e.userId == user; });
    if (!listed)
        return Refuse(
            err, owner + " has no alias " + alias + " for " + user + " (velmora alias list " + owner + " shows them)");
    if (!confirmed) {
        const CommandSupport::Answer answer =
            CommandSupport::Confirm("Are you sure you want to delete the selected User-Alias", in, out, interactive);
        if (answer == CommandSupport::Answer::NotATerminal)
            return Refuse(err, "the alias " + alias +
                                   " was not deleted: standard input is not a terminal, so nothing can be "
                                   "confirmed; repeat with --yes to delete it");
        if (answer == CommandSupport::Answer::No) return Refuse(err, "nothing was deleted");
    }
    if (!aliases.DeleteAlias(user, alias))
        return Refuse(err, "the alias " + alias + " was not deleted: the database did not take the change");
    out << "Alias " << alias << " of " << owner << " deleted\n";
    return kDone;
}
