// CScheduleSettings: the scheduler page's state and its file "Schedule.stg".
//
// The file holds fifteen 32-bit little-endian numbers: settings changed, at
// chosen, enabled, the seven weekday switches (Sunday first), interval, hour,
// minute, mode and a reserved number (written as 0, never read). A file cut
// short gives the numbers it holds and leaves the rest as constructed;
// bytes past the fifteenth number are not read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CScheduleSettings {
public:
    static constexpr const char* kFileName = "Schedule.stg";
    static constexpr std::size_t kNumbers = 15;
    static constexpr std::size_t kFileBytes = kNumbers * 4;

    enum Mode : std::uint32_t { kAtTime = 1, kEveryMinutes = 2, kWeeklyTable = 3 };
    static constexpr std::uint32_t kMaxInterval = 3000;

    std::uint32_t settingsChanged = 1;        // the next mode-2 tick restarts the count
    std::uint32_t atChosen = 0;               // stored only: the mode decides
    std::uint32_t enabled = 0;                // "Automatic"; "Manual" (0): nothing is due
    std::array<std::uint32_t, 7> weekdays{};  // mode 1, Sunday first
    std::uint32_t interval = 55;              // mode 2, minutes
    std::uint32_t hour = 0;                   // mode 1
    std::uint32_t minute = 0;                 // mode 1; mode 2 counts its ticks here
    std::uint32_t mode = kEveryMinutes;

    // The numbers of bytes, read as far as they go.
    static CScheduleSettings Parse(std::string_view bytes);
    std::string Serialize() const;

    // The file at path; the constructed values when it is missing or unreadable.
    static CScheduleSettings Load(const std::string& path);
    // Writes the file anew (a temporary name, then renamed over it).
    bool Save(const std::string& path) const;
    // The file in the home.
    static std::string DefaultPath();
};
