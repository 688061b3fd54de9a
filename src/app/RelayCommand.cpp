// RelayCommand: relay add, list, delete and blocking on the RelayAllowed
// table and the IPBlocking setting.
#include "app/RelayCommand.h"

#include "app/CommandSupport.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CRelayRanges.h"
#include "foundation/RelayRangeCheck.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    RelayCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora relay: " << message << "\n";
    return kRefused;
}

int RefuseBlank(std::ostream& err) {
    return Refuse(err, std::string(CRelayRanges::kBlankEntries) + ": 0.0.0.0 is no client address");
}

int BadAddress(const std::string& address, std::ostream& err) {
    return Refuse(
        err, "\"" + address + "\" is not an IPv4 address: write four numbers 0-255 with dots, such as 192.168.1.10");
}

}  // namespace

void RelayCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora relay add FIRST [LAST]\n"
           "       velmora relay list\n"
           "       velmora relay delete FIRST\n"
           "       velmora relay blocking on|off\n"
           "Clients whose IPv4 address lies in a listed range may relay mail to other servers;\n"
           "with blocking on, only they may. A delete removes every range that starts at FIRST.\n";
}

int RelayCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    const std::string& verb = args[0];
    const std::size_t count = args.size() - 1;
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i].size() > 1 && args[i][0] == '-') return Usage(err);
    if (verb == "blocking") {
        if (count != 1 || (args[1] != "on" && args[1] != "off")) return Usage(err);
        const std::string problem = CommandSupport::SettingsProblem();
        if (!problem.empty()) return Refuse(err, problem);
        if (!CRelayRanges::SetIpBlocking(args[1] == "on"))
            return Refuse(err, "IPBlocking could not be written to the settings file");
        out << (args[1] == "on" ? "Only the listed ranges may relay now\n"
                                : "Relay blocking is off: the listed ranges no longer limit relaying\n");
        return kDone;
    }
    if (verb == "list" ? count != 0 : verb == "add" ? count < 1 || count > 2 : verb != "delete" || count != 1)
        return Usage(err);

    const std::string first = verb == "list" ? "" : args[1];
    const std::string last = count == 2 ? args[2] : first;
    if (verb == "add") {
        switch (RelayRangeCheck::CheckAdd(first, last)) {
            case RelayRangeCheck::Outcome::Ok:
                break;
            case RelayRangeCheck::Outcome::Blank:
                return RefuseBlank(err);
            case RelayRangeCheck::Outcome::BadFirst:
                return BadAddress(first, err);
            case RelayRangeCheck::Outcome::BadLast:
                return BadAddress(last, err);
            case RelayRangeCheck::Outcome::EndsBeforeStart:
                return Refuse(err, "the range " + first + " - " + last + " ends before it starts");
        }
    }
    if (verb == "delete" && !CRelayRanges::IsDottedAddress(first)) return BadAddress(first, err);

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "relay", err)) return kRefused;
    CRelayRanges ranges(db.GetConnectionHandle());
    if (verb == "add") {
        switch (ranges.AddRelayRange(first, last)) {
            case CRelayRanges::AddResult::Added:
                out << "Range " << first << " - " << last << " may relay\n";
                return kDone;
            case CRelayRanges::AddResult::Blank:
                return RefuseBlank(err);
            case CRelayRanges::AddResult::Failed:
                break;
        }
        return Refuse(err, "the range was not added: the database did not take the change");
    }
    if (verb == "delete") {
        long removed = 0;
        if (!ranges.DeleteRelayRange(first, &removed))
            return Refuse(err, "nothing was deleted: the database did not take the change");
        if (removed == 0) return Refuse(err, "no range starts at " + first + " (velmora relay list shows them)");
        out << removed << (removed == 1 ? " range" : " ranges") << " starting at " << first << " deleted\n";
        return kDone;
    }
    if (!ranges.ListRelayRanges()) return Refuse(err, "the relay ranges cannot be read");
    out << "IP blocking is " << (CRelayRanges::IpBlocking() ? "on" : "off") << "\n";
    if (ranges.Ranges().empty()) out << "No range may relay yet: velmora relay add FIRST [LAST]\n";
    for (const CRelayRanges::Range& range : ranges.Ranges())
        out << "Start IP " << range.first << "  End IP " << range.last << "\n";
    return kDone;
}
