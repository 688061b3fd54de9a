// DomainCommand: domain add, list and delete on the Domains table.
#include "app/DomainCommand.h"

#include "foundation/CDomainRows.h"
#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "foundation/CMailDatabase.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    DomainCommand::PrintUsage(err);
    return kUsage;
}

// Host names compare without regard to case; the table keeps them in lower case.
bool Normalise(std::string& domain, std::ostream& err) {
    domain = FoldCase(domain);
    if (!domain.empty() && domain.back() == '.') domain.pop_back();
    if (CDomainRows::IsValidDomainName(domain)) return true;
    err << "velmora domain: \"" << domain
        << "\" is not a domain name: use labels of letters, digits and '-' separated by dots, such as example.org\n";
    return false;
}

}  // namespace

void DomainCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora domain add NAME [--catch-all USER]\n"
           "       velmora domain list\n"
           "       velmora domain delete NAME\n"
           "Mail for a listed domain is delivered to the account named by the address's user part;\n"
           "with --catch-all, mail for an unknown user goes to USER.\n";
}

int DomainCommand::Add(CMailDatabase& db, const std::string& name, const std::string& catchAll, std::ostream& out,
                       std::ostream& err) {
    std::string domain = name;
    if (!Normalise(domain, err)) return kRefused;
    if (!catchAll.empty() && CAccountRows::AccountExists(db.GetConnectionHandle(), catchAll) != CAccountRows::Presence::Present) {
        err << "velmora domain: there is no account named " << catchAll << " to take the domain's other mail\n";
        return kRefused;
    }
    switch (CDomainRows::AddDomain(db.GetConnectionHandle(), domain, catchAll, !catchAll.empty())) {
        case CDomainRows::Change::Made:
            out << "Domain " << domain << " added: mail for NAME@" << domain << " is stored for the account NAME"
                << (catchAll.empty() ? "" : ", or for " + catchAll + " when there is none") << "\n";
            return kDone;
        case CDomainRows::Change::NothingToDo:
            out << "Domain " << domain << " is served here already\n";
            return kDone;
        case CDomainRows::Change::Failed:
            break;
    }
    err << "velmora domain: " << domain << " could not be added: the database did not take the change\n";
    return kRefused;
}

int DomainCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    std::string catchAll;
    if (verb == "add") line.TakeOption("--catch-all", catchAll);
    for (const std::string& arg : line.args)
        if (arg.size() > 1 && arg[0] == '-') return Usage(err);
    if (verb == "list" ? !line.args.empty() : line.args.size() != 1) return Usage(err);
    if (verb != "add" && verb != "list" && verb != "delete") return Usage(err);

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "domain", err)) return kRefused;
    if (verb == "add") return Add(db, line.args[0], catchAll, out, err);
    if (verb == "list") {
        std::vector<CDomainRows::DomainEntry> domains;
        if (!CDomainRows::ListDomains(db.GetConnectionHandle(), domains)) {
            err << "velmora domain: the domains cannot be read\n";
            return kRefused;
        }
        if (domains.empty()) out << "No domain is served here yet: velmora domain add NAME\n";
        for (const auto& d : domains)
            out << d.name << (d.isFwdOn && !d.defaultUser.empty() ? "  catch-all " + d.defaultUser : "") << "\n";
        return kDone;
    }
    std::string domain = line.args[0];
    if (!Normalise(domain, err)) return kRefused;
    switch (CDomainRows::DeleteDomain(db.GetConnectionHandle(), domain)) {
        case CDomainRows::Change::Made:
            out << "Domain " << domain << " deleted: its mail is no longer local\n";
            return kDone;
        case CDomainRows::Change::NothingToDo:
            err << "velmora domain: " << domain << " is not served here (velmora domain list shows them)\n";
            return kRefused;
        case CDomainRows::Change::Failed:
            break;
    }
    err << "velmora domain: " << domain << " could not be deleted: the database did not take the change\n";
    return kRefused;
}
