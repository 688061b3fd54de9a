// CImapDate: the dates IMAP carries: INTERNALDATE's date-time
// ("08-Dec-2026 09:30:00 +0000"), APPEND's date-time (any zone), and
// SEARCH's dates ("8-Dec-2026"), which compare by day, in UTC here.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CImapDate {
public:
    static std::string FormatDateTime(std::time_t when);
    // The instant of a date-time; nullopt when malformed.
    static std::optional<std::time_t> ParseDateTime(std::string_view text);
    // Days since 1970-01-01 of a SEARCH date; nullopt when malformed.
    static std::optional<long> ParseDay(std::string_view text);
    // The UTC day of an instant, comparable with ParseDay.
    static long DayOf(std::time_t when);
};
