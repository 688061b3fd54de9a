// CScheduleTable: the scheduler's weekly table and its file "Schedule.txt".
//
// One list of entries per weekday, Monday first (0) to Sunday (6). A line of
// the file is DAYS:HOUR:MINUTE:SEND:EVENT:COMMAND, DAYS a run of day digits,
// SEND and EVENT "T" for yes, COMMAND the rest of the line. A line without
// a ":" makes no entry; one that ends early keeps what it gave and zero or
// empty for the rest. Digits 7 to 9 name no day and are passed over.
//
// Reading is bounded: the first kFileLimit bytes, kLineLimit bytes of a
// line, kCommandLimit bytes of a command and kEntriesPerDay entries a day. The table is written back one line
// per day and entry, days in order, so each line reads as the entry it was.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CScheduleTable {
public:
    static constexpr const char* kFileName = "Schedule.txt";
    static constexpr std::size_t kFileLimit = 1 << 20;
    static constexpr std::size_t kLineLimit = 4096;
    static constexpr std::size_t kEntriesPerDay = 1000;
    // A command line kept, short enough that its entry's line always fits.
    static constexpr std::size_t kCommandLimit = 4000;
    // The "Multiple Scheduling" dialog's refusal of a second entry at a day and time.
    static constexpr const char* kExistsText = "This Schedule already exists, so can't Add same schedule";
    static constexpr const char* kExistsTitle = "Schedule Exist";

    struct Entry {
        long hour = 0;
        long minute = 0;
        bool send = false;   // a send and receive at that time
        bool event = false;  // the command is run at that time
        std::string command;
        bool operator==(const Entry&) const = default;
    };
    using Days = std::bitset<7>;  // Monday first

    std::array<std::vector<Entry>, 7> days;

    static CScheduleTable Parse(std::string_view text);
    // One line of the file into the days it names.
    void AddLine(std::string_view line);
    std::string Serialize() const;

    // False, leaving the table empty, when the file cannot be opened.
    bool Load(const std::string& path);
    bool Save(const std::string& path) const;
    static std::string DefaultPath();

    // The first entry of the day at hour:minute, or null.
    const Entry* Find(std::size_t day, long hour, long minute) const;
    // Whether one of the days has an entry at hour:minute (what "Add" refuses).
    bool Exists(Days which, long hour, long minute) const;
    void Add(Days which, const Entry& entry);
    // Removes the entries at hour:minute of the days; how many went.
    std::size_t Remove(Days which, long hour, long minute);
    bool Empty() const;
};
