// ScheduleCommand: schedule show, set, list, add and delete.
#include "app/ScheduleCommand.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "app/CommandLine.h"
#include "cycle/CScheduleSettings.h"
#include "cycle/CScheduleTable.h"
#include "cycle/ScheduleCheck.h"
#include "foundation/StringFormat.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;
// Monday first, as the weekly table counts.
constexpr const char* kDayNames[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
// What a command line may hold: one line of the table's file.

int Usage(std::ostream& err) {
    ScheduleCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora schedule: " << message << "\n";
    return kRefused;
}

bool TakeFlag(CommandLine& line, const std::string& name) {
    const auto found = std::find(line.args.begin(), line.args.end(), name);
    if (found == line.args.end()) return false;
    line.args.erase(found);
    return true;
}

// "mon,tue", full names, "weekdays", "weekend", "all" or "none" (the
// dialog's day choices); Monday first. False on an unknown word.
bool ParseDays(const std::string& text, CScheduleTable::Days& days) {
    days.reset();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string word = FoldCase(std::string(Trim(std::string_view(text).substr(start, comma - start))));
        start = comma + 1;
        if (word == "all") {
            days.set();
        } else if (word == "weekdays") {
            for (std::size_t d = 0; d < 5; ++d) days.set(d);
        } else if (word == "weekend") {
            days.set(5);
            days.set(6);
        } else if (word != "none") {
            std::size_t d = 0;
            for (; d < 7; ++d) {
                const std::string name = FoldCase(kDayNames[d]);
                if (word == name || (word.size() == 3 && name.compare(0, 3, word) == 0)) break;
            }
            if (d == 7) return false;
            days.set(d);
        }
    }
    return true;
}

std::string DayList(const CScheduleTable::Days& days) {
    std::string list;
    for (std::size_t d = 0; d < 7; ++d)
        if (days.test(d)) list += (list.empty() ? "" : " ") + std::string(kDayNames[d]).substr(0, 3);
    return list.empty() ? "none" : list;
}

void Show(const CScheduleSettings& s, std::ostream& out) {
    out << "Scheduler: " << (s.enabled ? "automatic" : "manual (no cycle starts by itself)") << "\n";
    switch (s.mode) {
        case CScheduleSettings::kAtTime:
            out << "Mode: at a time on the chosen weekdays\n";
            break;
        case CScheduleSettings::kEveryMinutes:
            out << "Mode: every " << s.interval << " minutes\n";
            break;
        case CScheduleSettings::kWeeklyTable:
            out << "Mode: complex, by the weekly table (velmora schedule list)\n";
            break;
        default:
            out << "Mode: " << s.mode << " (unknown: nothing is due)\n";
            break;
    }
    out << StringPrintf("Time: %02u:%02u\n", static_cast<unsigned>(s.hour), static_cast<unsigned>(s.minute));
    // The switches are kept Sunday first; shown Monday first like the table.
    CScheduleTable::Days days;
    for (std::size_t d = 0; d < 7; ++d) days.set(d, s.weekdays[(d + 1) % 7] != 0);
    out << "Weekdays: " << DayList(days) << "\n";
    out << "Interval: " << s.interval << " minutes\n";
}

int Set(CommandLine& line, std::ostream& out, std::ostream& err) {
    std::string mode, time, weekdays, interval;
    const bool hasMode = line.TakeOption("--mode", mode);
    const bool hasTime = line.TakeOption("--time", time);
    const bool hasWeekdays = line.TakeOption("--weekdays", weekdays);
    const bool hasInterval = line.TakeOption("--interval", interval);
    const bool automatic = TakeFlag(line, "--automatic");
    const bool manual = TakeFlag(line, "--manual");
    if (!line.args.empty() || (automatic && manual) ||
        !(hasMode || hasTime || hasWeekdays || hasInterval || automatic || manual))
        return Usage(err);

    const std::string path = CScheduleSettings::DefaultPath();
    CScheduleSettings s = CScheduleSettings::Load(path);
    if (hasMode) {
        if (mode == "at")
            s.mode = CScheduleSettings::kAtTime;
        else if (mode == "every")
            s.mode = CScheduleSettings::kEveryMinutes;
        else if (mode == "complex")
            s.mode = CScheduleSettings::kWeeklyTable;
        else
            return Refuse(err, "\"" + mode + "\" is no mode: at, every or complex");
        s.atChosen = s.mode == CScheduleSettings::kAtTime ? 1 : 0;
    }
    if (hasTime) {
        if (ScheduleCheck::CheckTimeOfDay(time, s.hour, s.minute) != ScheduleCheck::Outcome::Ok)
            return Refuse(err, "\"" + time + "\" is no time of day: write HH:MM, 00:00 to 23:59");
    }
    if (hasWeekdays) {
        CScheduleTable::Days days;
        if (!ParseDays(weekdays, days))
            return Refuse(err, "\"" + weekdays + "\" names no days: write mon,tue,... or weekdays, weekend, all, none");
        for (std::size_t d = 0; d < 7; ++d) s.weekdays[(d + 1) % 7] = days.test(d) ? 1 : 0;
    }
    if (hasInterval) {
        if (ScheduleCheck::CheckInterval(interval, s.interval) != ScheduleCheck::Outcome::Ok)
            return Refuse(err, "\"" + interval + "\" is no interval: 1 to 3000 minutes");
    }
    if (automatic || manual) s.enabled = automatic ? 1 : 0;
    s.settingsChanged = 1;
    if (!s.Save(path)) return Refuse(err, path + " cannot be written: " + std::strerror(errno));
    out << "Schedule updated\n";
    Show(s, out);
    return kDone;
}

void List(const CScheduleTable& table, std::ostream& out) {
    if (table.Empty()) {
        out << "The weekly table is empty\n";
        return;
    }
    for (std::size_t d = 0; d < 7; ++d) {
        for (const CScheduleTable::Entry& e : table.days[d]) {
            out << StringPrintf("%-9s %02ld:%02ld", kDayNames[d], e.hour, e.minute);
            if (e.send) out << "  send and receive";
            if (e.event) out << "  run: " << e.command;
            if (!e.send && !e.event) out << "  nothing";
            out << "\n";
        }
    }
}

// add and delete: the days and the time both given.
int Edit(bool add, CommandLine& line, std::ostream& out, std::ostream& err) {
    std::string daysText, at, run;
    const bool hasDays = line.TakeOption("--days", daysText);
    const bool hasAt = line.TakeOption("--at", at);
    const bool hasRun = add && line.TakeOption("--run", run);
    const bool send = add && TakeFlag(line, "--send-receive");
    if (!line.args.empty() || !hasDays || !hasAt || (add && !send && !hasRun)) return Usage(err);

    CScheduleTable::Days days;
    if (!ParseDays(daysText, days) || days.none())
        return Refuse(err, "\"" + daysText + "\" names no days: write mon,tue,... or weekdays, weekend, all");
    std::uint32_t hour = 0, minute = 0;
    if (ScheduleCheck::CheckTimeOfDay(at, hour, minute) != ScheduleCheck::Outcome::Ok)
        return Refuse(err, "\"" + at + "\" is no time of day: write HH:MM, 00:00 to 23:59");
    if (hasRun) {
        const ScheduleCheck::Outcome outcome = ScheduleCheck::CheckCommand(run, true);
        if (outcome == ScheduleCheck::Outcome::NoCommand) return Refuse(err, "--run needs a command line");
        if (outcome == ScheduleCheck::Outcome::CommandTooLong)
            return Refuse(err, "the command line is longer than 1024 characters");
        if (outcome == ScheduleCheck::Outcome::ControlCharacter)
            return Refuse(err, "the command line holds a control character");
    }

    const std::string path = CScheduleTable::DefaultPath();
    CScheduleTable table;
    // A file that is there but cannot be read would be written back empty.
    if (!table.Load(path) && ::access(path.c_str(), F_OK) == 0)
        return Refuse(err, path + " cannot be read: " + std::strerror(errno));
    const long h = static_cast<long>(hour), m = static_cast<long>(minute);
    if (add) {
        if (table.Exists(days, h, m)) return Refuse(err, CScheduleTable::kExistsText);
        table.Add(days, {h, m, send, hasRun, hasRun ? run : std::string()});
    } else if (table.Remove(days, h, m) == 0) {
        return Refuse(err, "no entry at " + at + " on " + DayList(days));
    }
    if (!table.Save(path)) return Refuse(err, path + " cannot be written: " + std::strerror(errno));
    out << (add ? "Schedule added\n" : "Schedule deleted\n");
    List(table, out);
    return kDone;
}

}  // namespace

void ScheduleCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora schedule show\n"
           "       velmora schedule set [--mode at|every|complex] [--time HH:MM] [--weekdays DAYS]\n"
           "                            [--interval MINUTES] [--automatic | --manual]\n"
           "       velmora schedule list\n"
           "       velmora schedule add --days DAYS --at HH:MM [--send-receive] [--run COMMAND]\n"
           "       velmora schedule delete --days DAYS --at HH:MM\n"
           "The running server starts send and receive cycles by itself when the scheduler is\n"
           "automatic: at --time on the --weekdays (mode at), every --interval minutes (mode\n"
           "every), or by the weekly table (mode complex), whose entries may also run a command\n"
           "(the program, then its arguments separated by blanks; no shell). DAYS: mon,tue,...,\n"
           "weekdays, weekend, all (set also takes none). A running server applies a change at\n"
           "its next minute.\n";
}

int ScheduleCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    if (verb == "show" || verb == "list") {
        if (!line.args.empty()) return Usage(err);
        if (verb == "show") {
            Show(CScheduleSettings::Load(CScheduleSettings::DefaultPath()), out);
        } else {
            CScheduleTable table;
            table.Load(CScheduleTable::DefaultPath());
            List(table, out);
        }
        return kDone;
    }
    if (verb == "set") return Set(line, out, err);
    if (verb == "add" || verb == "delete") return Edit(verb == "add", line, out, err);
    return Usage(err);
}
