// QueueCommand: listing the outbound queue and the console's delete of a
// queued message, entry by entry.
#include "app/QueueCommand.h"

#include <sys/stat.h>

#include <algorithm>

#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "cycle/COutboundQueueReport.h"
#include "outbound/CFailureNotice.h"
#include "foundation/CMailDatabase.h"
#include "outbound/COutboundQueueView.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    QueueCommand::PrintUsage(err);
    return kUsage;
}

// Rows name their files "Outbox/NAME"; the administrator may give the name
// alone or with the other separator.
std::string QueuePath(const std::string& file) {
    std::string path = ForwardSlashes(file);
    if (path.find('/') == std::string::npos) path = "Outbox/" + path;
    return path;
}

std::string State(const OutboundQueueEntry& entry) {
    if (entry.sent) return "sent";
    if (entry.failureCode == 0) return "not yet tried";
    return "code " + std::to_string(entry.failureCode) + " " +
           CFailureNotice::ReasonText(static_cast<std::uint32_t>(entry.failureCode), entry.reply);
}

int List(CMailDatabase& db, std::ostream& out, std::ostream& err) {
    std::vector<OutboundQueueEntry> entries;
    if (!COutboundQueueView::ListQueue(db.GetConnectionHandle(), entries)) {
        err << "velmora queue: the table OutBoundMails cannot be read\n";
        return kRefused;
    }
    if (entries.empty()) out << "The outbound queue is empty\n";
    for (const OutboundQueueEntry& e : entries)
        out << e.mailFile << "  " << e.destUser << "@" << e.domain << "  " << State(e) << "  queued " << e.rcptDate
            << (e.reply.empty() ? "" : "  reply: " + e.reply) << "\n";
    return kDone;
}

int Delete(CMailDatabase& db, const std::string& file, bool confirmed, std::istream& in, std::ostream& out,
           std::ostream& err, bool interactive) {
    std::vector<OutboundQueueEntry> entries;
    if (!COutboundQueueView::ListQueue(db.GetConnectionHandle(), entries)) {
        err << "velmora queue: the table OutBoundMails cannot be read\n";
        return kRefused;
    }
    const std::string path = QueuePath(file);
    const auto matches = [&](const OutboundQueueEntry& e) { return ForwardSlashes(e.mailFile) == path; };
    const auto count = std::count_if(entries.begin(), entries.end(), matches);
    if (count == 0) {
        err << "velmora queue: no queued mail has the file " << path << " (velmora queue list shows them)\n";
        return kRefused;
    }
    if (!confirmed) {
        const CommandSupport::Answer answer = CommandSupport::Confirm(
            "Are you sure you want to delete the selected mail (" + path + ", " + std::to_string(count) +
                (count == 1 ? " recipient" : " recipients") + ")?",
            in, out, interactive);
        if (answer == CommandSupport::Answer::NotATerminal) {
            err << "velmora queue: nothing was deleted: standard input is not a terminal, so nothing can be "
                   "confirmed; repeat with --yes to delete it\n";
            return kRefused;
        }
        if (answer == CommandSupport::Answer::No) {
            err << "velmora queue: nothing was deleted\n";
            return kRefused;
        }
    }
    // The console deletes one entry at a time; the last one takes the file.
    for (;;) {
        const auto it = std::find_if(entries.begin(), entries.end(), matches);
        if (it == entries.end()) break;
        if (!COutboundQueueView::DeleteQueueEntry(db.GetConnectionHandle(), entries,
                                                  static_cast<std::size_t>(it - entries.begin()))) {
            err << "velmora queue: Delete Operation failed\n";
            return kRefused;
        }
    }
    struct stat info {};
    const bool fileLeft = ::stat(path.c_str(), &info) == 0;
    out << "Deleted " << path << " (" << count << (count == 1 ? " recipient" : " recipients") << ")"
        << (fileLeft ? "; its file stays, another row still names it" : "") << "\n";
    return kDone;
}

}  // namespace

void QueueCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora queue list\n"
           "       velmora queue delete FILE [--yes]\n"
           "list shows one line per queued recipient: the message's file, the recipient, the last\n"
           "attempt's outcome, when it was queued and the remote server's last reply, if any.\n"
           "delete removes the queued message FILE (as listed, or its name alone) for all its\n"
           "recipients; it asks first on a terminal and needs --yes anywhere else.\n";
}

int QueueCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                      bool interactive) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    bool confirmed = false;
    if (verb == "delete") {
        const auto yes = std::find(line.args.begin(), line.args.end(), "--yes");
        if (yes != line.args.end()) {
            confirmed = true;
            line.args.erase(yes);
        }
    }
    for (const std::string& arg : line.args)
        if (arg.size() > 1 && arg[0] == '-') return Usage(err);
    if (verb == "list" ? !line.args.empty() : verb != "delete" || line.args.size() != 1) return Usage(err);

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "queue", err)) return kRefused;
    if (verb == "list") return List(db, out, err);
    return Delete(db, line.args[0], confirmed, in, out, err, interactive);
}
