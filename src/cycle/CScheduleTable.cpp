// CScheduleTable: parsing and writing the weekly table.
#include "cycle/CScheduleTable.h"

#include <algorithm>

#include "platform/Home.h"
#include "platform/WholeFile.h"

namespace {

// The decimal number at the start of text (blanks and a sign allowed, as
// atol takes it); 0 without digits. Saturates instead of overflowing.
long LeadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), 999999L);
    return negative ? -value : value;
}

}  // namespace

CScheduleTable CScheduleTable::Parse(std::string_view text) {
    CScheduleTable table;
    text = text.substr(0, kFileLimit);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        table.AddLine(line.substr(0, kLineLimit));
    }
    return table;
}

void CScheduleTable::AddLine(std::string_view line) {
    if (line.empty()) return;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view dayDigits = line.substr(0, colon);
    std::string_view rest = line.substr(colon + 1);
    // The next field: up to the next ":", or the rest when there is none.
    bool ended = false;
    const auto field = [&rest, &ended]() -> std::string_view {
        if (ended) return {};
        const std::size_t at = rest.find(':');
        const std::string_view value = rest.substr(0, at);
        if (at == std::string_view::npos) {
            ended = true;
            rest = {};
        } else {
            rest = rest.substr(at + 1);
        }
        return value;
    };
    Entry entry;
    entry.hour = LeadingNumber(field());
    entry.minute = LeadingNumber(field());
    entry.send = field() == "T";
    entry.event = field() == "T";
    if (!ended) entry.command = std::string(rest);

    Days which;
    for (char c : dayDigits)
        if (c >= '0' && c <= '6') which.set(static_cast<std::size_t>(c - '0'));
    Add(which, entry);
}

std::string CScheduleTable::Serialize() const {
    std::string text;
    for (std::size_t day = 0; day < days.size(); ++day) {
        for (const Entry& e : days[day]) {
            text += static_cast<char>('0' + day);
            text += ':' + std::to_string(e.hour) + ':' + std::to_string(e.minute) + ':';
            text += e.send ? "T:" : "F:";
            text += e.event ? "T:" : "F:";
            text += e.command;
            text += '\n';
        }
    }
    return text;
}

bool CScheduleTable::Load(const std::string& path) {
    std::string text;
    const bool read = ReadWholeFile(path, kFileLimit, text);
    *this = read ? Parse(text) : CScheduleTable();
    return read;
}

bool CScheduleTable::Save(const std::string& path) const {
    return WriteWholeFile(path, Serialize());
}

std::string CScheduleTable::DefaultPath() {
    return Home::PathOf(kFileName);
}

const CScheduleTable::Entry* CScheduleTable::Find(std::size_t day, long hour, long minute) const {
    if (day >= days.size()) return nullptr;
    for (const Entry& e : days[day])
        if (e.hour == hour && e.minute == minute) return &e;
    return nullptr;
}

bool CScheduleTable::Exists(Days which, long hour, long minute) const {
    for (std::size_t day = 0; day < days.size(); ++day)
        if (which.test(day) && Find(day, hour, minute)) return true;
    return false;
}

void CScheduleTable::Add(Days which, const Entry& entry) {
    // A command line is one line of the file.
    Entry kept = entry;
    kept.command = kept.command.substr(0, std::min(kept.command.find_first_of("\r\n"), kCommandLimit));
    for (std::size_t day = 0; day < days.size(); ++day)
        if (which.test(day) && days[day].size() < kEntriesPerDay) days[day].push_back(kept);
}

std::size_t CScheduleTable::Remove(Days which, long hour, long minute) {
    std::size_t removed = 0;
    for (std::size_t day = 0; day < days.size(); ++day) {
        if (!which.test(day)) continue;
        removed += std::erase_if(days[day], [&](const Entry& e) { return e.hour == hour && e.minute == minute; });
    }
    return removed;
}

bool CScheduleTable::Empty() const {
    return std::all_of(days.begin(), days.end(), [](const auto& list) { return list.empty(); });
}
