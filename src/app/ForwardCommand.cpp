// ForwardCommand: listing, adding and deleting forwarding addresses and the
// retain-copy switch.
#include "app/ForwardCommand.h"

#include <algorithm>
#include <optional>

#include "foundation/CAccountRows.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "delivery/CForwarding.h"
#include "delivery/ForwardingTargetCheck.h"
#include "foundation/CMailDatabase.h"
#include "message/AddressFunctions.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    ForwardCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora account: " << message << "\n";
    return kRefused;
}

// A plain user@domain: what can stand in an SMTP path and a To field.
bool IsPlainAddress(const std::string& address, AddressParts& parts) {
    if (std::count(address.begin(), address.end(), '@') != 1) return false;
    parts = SplitAddress(address);
    return ForwardingTargetCheck::Check(parts.user, parts.host) == ForwardingTargetCheck::Outcome::Ok;
}

bool SameTarget(const CForwarding::Entry& entry, const AddressParts& parts) {
    return EqualsNoCase(entry.userId, parts.user) && EqualsNoCase(entry.serverAddr, parts.host);
}

}  // namespace

void ForwardCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora account forward USER list\n"
           "       velmora account forward USER add ADDRESS [--local]\n"
           "       velmora account forward USER delete ADDRESS\n"
           "       velmora account forward USER --retain on|off\n"
           "ADDRESS is user@domain. --local hands the copies to this server's own SMTP listener (needed for\n"
           "an address served here); without it they are queued for the domain's mail exchanger.\n"
           "--retain on keeps a copy in USER's mailbox as well; a copy is kept anyway when a forward fails.\n";
}

int ForwardCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine line;
    line.args = args;
    std::string retainText;
    const bool setRetain = line.TakeOption("--retain", retainText);
    const auto local = std::find(line.args.begin(), line.args.end(), "--local");
    const bool routeLocal = local != line.args.end();
    if (routeLocal) line.args.erase(local);
    if (line.args.empty() || line.args[0].starts_with("-")) return Usage(err);
    const std::string name = line.args[0];
    const std::string verb = line.args.size() > 1 ? line.args[1] : "";
    if (setRetain) {
        if (line.args.size() != 1 || routeLocal || (retainText != "on" && retainText != "off")) return Usage(err);
    } else if (!((verb == "list" && line.args.size() == 2 && !routeLocal) || (verb == "add" && line.args.size() == 3) ||
                 (verb == "delete" && line.args.size() == 3 && !routeLocal))) {
        return Usage(err);
    }
    AddressParts target;
    if (line.args.size() == 3 && !IsPlainAddress(line.args[2], target))
        return Refuse(err, "\"" + line.args[2] + "\" is not a forwarding address: write user@domain");

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "account", err)) return kRefused;
    bool failed = false;
    const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), name, &failed);
    if (!id)
        return Refuse(err, failed ? "the accounts cannot be read"
                                  : "there is no account named " + name + " (velmora account list shows them)");
    const SQLHDBC connection = db.GetConnectionHandle();

    if (setRetain) {
        const bool retain = retainText == "on";
        if (!CForwarding::SetRetainCopy(connection, *id, retain))
            return Refuse(err, "the retain-copy switch of " + name + " was not changed: the database did not take it");
        out << name << (retain ? " keeps a copy of forwarded mail\n" : " keeps no copy of mail forwarded in full\n");
        return kDone;
    }
    const std::vector<CForwarding::Entry> entries = CForwarding::LoadList(connection, *id);
    if (verb == "list") {
        for (const CForwarding::Entry& entry : entries)
            out << entry.Address() << (entry.routeLocal ? "  (local SMTP)" : "  (queued)") << "\n";
        out << "Retain copy: " << (CForwarding::IsRetainCopy(connection, *id) ? "on" : "off") << "\n";
        return kDone;
    }
    const bool listed =
        std::any_of(entries.begin(), entries.end(), [&](const CForwarding::Entry& e) { return SameTarget(e, target); });
    if (verb == "add") {
        if (listed) return Refuse(err, name + " forwards to " + line.args[2] + " already");
        if (!CForwarding::Add(connection, *id, target.user, target.host, routeLocal))
            return Refuse(err, "the forwarding address was not added: the database did not take it");
        out << name << " forwards to " << line.args[2] << (routeLocal ? " through the local SMTP server\n" : "\n");
        return kDone;
    }
    if (!listed) return Refuse(err, name + " does not forward to " + line.args[2]);
    for (const CForwarding::Entry& entry : entries)
        if (SameTarget(entry, target) && !CForwarding::Delete(connection, *id, entry.userId, entry.serverAddr))
            return Refuse(err, "the forwarding address was not deleted: the database did not take it");
    out << name << " no longer forwards to " << line.args[2] << "\n";
    return kDone;
}
