// LogCommand: the search form read from options, the search run on the
// caller's thread, and the chosen message copied out as it was logged.
#include "app/LogCommand.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "app/CommandSupport.h"
#include "foundation/CMailDatabase.h"
#include "maillog/CMailLog.h"
#include "maillog/CMailLogViewer.h"
#include "maillog/CMailSearchWorker.h"
#include "maillog/MailSearchForm.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    LogCommand::PrintUsage(err);
    return kUsage;
}

// "DD/MM/YYYY" (as the search form shows dates) or "YYYY-MM-DD", a real day.
bool ParseDate(const std::string& text, MailSearchForm::Date& date) {
    int a = 0, b = 0, c = 0, used = 0;
    if (std::sscanf(text.c_str(), "%2d/%2d/%4d%n", &a, &b, &c, &used) == 3 &&
        static_cast<std::size_t>(used) == text.size())
        date = {a, b, c};
    else if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &c, &b, &a, &used) == 3 &&
             static_cast<std::size_t>(used) == text.size())
        date = {a, b, c};
    else
        return false;
    if (date.year < 1970 || date.year > 9999) return false;
    std::tm t{};
    t.tm_year = date.year - 1900;
    t.tm_mon = date.month - 1;
    t.tm_mday = date.day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    // A day that does not exist (31/02) comes back normalised to another.
    return std::mktime(&t) != -1 && t.tm_mday == date.day && t.tm_mon == date.month - 1;
}

int DateKey(const MailSearchForm::Date& date) {
    return date.year * 10000 + date.month * 100 + date.day;
}

// A logged text on one terminal line: control bytes shown as "?".
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

struct Request {
    MailSearchForm form;
    std::string number;  // show: N
};

// Reads the conditions (and show's N); false on anything else.
bool ParseRequest(const std::vector<std::string>& args, bool wantNumber, Request& request, std::ostream& err) {
    MailSearchForm& form = request.form;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--from" && hasValue) {
            form.from = args[++i];
        } else if (arg == "--to" && hasValue) {
            form.to = args[++i];
        } else if (arg == "--subject" && hasValue) {
            form.subject = args[++i];
        } else if (arg == "--containing" && hasValue) {
            form.containing = args[++i];
        } else if (arg == "--and-from") {
            form.fromAnd = true;
        } else if (arg == "--and-to") {
            form.toAnd = true;
        } else if (arg == "--all-words") {
            form.allWords = true;
        } else if (arg == "--during" && i + 2 < args.size()) {
            if (!ParseDate(args[i + 1], form.start) || !ParseDate(args[i + 2], form.end)) {
                err << "velmora log: " << args[i + 1] << " " << args[i + 2]
                    << ": a date is written DD/MM/YYYY or YYYY-MM-DD and must exist\n";
                return false;
            }
            if (DateKey(form.start) > DateKey(form.end)) {
                err << "velmora log: the start date " << args[i + 1] << " lies after the end date " << args[i + 2]
                    << "\n";
                return false;
            }
            form.during = true;
            i += 2;
        } else if (arg == "--in" && hasValue && (args[i + 1] == "received" || args[i + 1] == "sent")) {
            form.in = true;
            form.sentItems = args[++i] == "sent";
        } else if (wantNumber && request.number.empty() && !arg.empty() && arg[0] != '-') {
            request.number = arg;
        } else {
            LogCommand::PrintUsage(err);
            return false;
        }
    }
    if (wantNumber && request.number.empty()) {
        LogCommand::PrintUsage(err);
        return false;
    }
    return true;
}

}  // namespace

void LogCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora log search [CONDITIONS]\n"
           "       velmora log show [CONDITIONS] N\n"
           "conditions (those of the console's Search Mail form):\n"
           "  --from TEXT, --to TEXT, --subject TEXT\n"
           "                   part of the sender, recipient or subject; conditions are\n"
           "                   joined by OR unless --and-from (From AND the next) or\n"
           "                   --and-to (To AND Subject) is given\n"
           "  --containing WORDS [--all-words]\n"
           "                   the message body holds any one of the words, or with\n"
           "                   --all-words the whole text as written (case ignored)\n"
           "  --during START END\n"
           "                   logged from START to END, both days included\n"
           "                   (DD/MM/YYYY or YYYY-MM-DD)\n"
           "  --in received|sent\n"
           "                   only mail delivered here, or only mail sent out\n"
           "search prints one line per message, oldest first: its number N, date,\n"
           "direction, size, sender, recipient and subject, then the count. show\n"
           "prints the whole N-th message of the same search as it was logged; the\n"
           "numbers stay valid while no older day of the log is removed.\n";
}

int LogCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || (args[0] != "search" && args[0] != "show")) return Usage(err);
    const bool show = args[0] == "show";
    Request request;
    if (!ParseRequest(std::vector<std::string>(args.begin() + 1, args.end()), show, request, err)) return kUsage;
    std::size_t wanted = 0;
    if (show) {
        const std::string& n = request.number;
        if (n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos || std::stoul(n) == 0) {
            err << "velmora log: " << n << ": N is the number at the start of a search line (1, 2, ...)\n";
            return kUsage;
        }
        wanted = std::stoul(n);
    }

    CMailDatabase db;
    if (!CommandSupport::Connect(db, "log", err)) return kRefused;
    MailSearchJob job;
    job.connection = db.GetConnectionHandle();
    job.query = request.form.Query();
    job.containing = request.form.containing;
    job.allWords = request.form.allWords;
    job.logRoot = CMailLog::ConfiguredRoot();
    const std::atomic<bool> never{false};
    const std::vector<MailSearchRecord> found = CMailSearchWorker::Run(job, never);

    if (!show) {
        for (std::size_t i = 0; i < found.size(); ++i) {
            const MailSearchRecord& r = found[i];
            out << i + 1 << "  " << Printable(r.date) << "  " << (r.isLocal ? "received" : "sent") << "  " << r.size
                << " bytes  From: " << Printable(r.from) << "  To: " << Printable(r.to)
                << "  Subject: " << Printable(r.subject) << "\n";
        }
        out << found.size() << " messages found\n";
        return kDone;
    }
    if (wanted > found.size()) {
        err << "velmora log: there is no message " << wanted << " in this search; it found " << found.size()
            << " (velmora log search with the same conditions lists them)\n";
        return kRefused;
    }
    const MailSearchRecord& record = found[wanted - 1];
    const bool copied = CMailLogViewer::Copy(job.logRoot, record, [&out](const char* data, std::size_t size) {
        out.write(data, static_cast<std::streamsize>(size));
        return static_cast<bool>(out);
    });
    out.flush();
    if (!copied) {
        err << "velmora log: the message cannot be read from "
            << CMailLog::LogFilePath(job.logRoot, record.day, record.isLocal) << " (at byte " << record.offset
            << ", " << record.size << " bytes)\n";
        return kRefused;
    }
    return kDone;
}
