// CImapDate: IMAP's date texts (see the header).
#include "CImapDate.h"

#include <cstdio>

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since the epoch of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

bool Digits(std::string_view text, std::size_t count, int& value) {
    if (text.size() < count) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "d-Mon-yyyy" or "dd-Mon-yyyy" (a space may pad the day); the rest is left in text.
std::optional<long> Day(std::string_view& text) {
    if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    int day = 0;
    std::size_t n = 0;
    while (n < text.size() && n < 2 && text[n] >= '0' && text[n] <= '9') day = day * 10 + (text[n++] - '0');
    if (n == 0 || text.size() < n + 9 || text[n] != '-' || text[n + 4] != '-') return std::nullopt;
    const std::string_view month = text.substr(n + 1, 3);
    int m = 0;
    while (m < 12) {
        const char* name = kMonths[m];
        if ((month[0] | 0x20) == (name[0] | 0x20) && (month[1] | 0x20) == name[1] && (month[2] | 0x20) == name[2])
            break;
        ++m;
    }
    int year = 0;
    if (m == 12 || !Digits(text.substr(n + 5), 4, year) || day < 1 || day > 31) return std::nullopt;
    text.remove_prefix(n + 9);
    return DaysFromCivil(year, static_cast<unsigned>(m + 1), static_cast<unsigned>(day));
}

}  // namespace

std::string CImapDate::FormatDateTime(std::time_t when) {
    std::tm tm{};
    ::gmtime_r(&when, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%02d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, kMonths[tm.tm_mon % 12],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::optional<long> CImapDate::ParseDay(std::string_view text) {
    const auto day = Day(text);
    if (!day || !text.empty()) return std::nullopt;
    return day;
}

long CImapDate::DayOf(std::time_t when) {
    const long long seconds = static_cast<long long>(when);
    return static_cast<long>(seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400);
}

std::optional<std::time_t> CImapDate::ParseDateTime(std::string_view text) {
    const auto day = Day(text);
    int hour = 0, minute = 0, second = 0, zone = 0;
    if (!day || text.size() != 15 || text[0] != ' ' || !Digits(text.substr(1), 2, hour) || text[3] != ':' ||
        !Digits(text.substr(4), 2, minute) || text[6] != ':' || !Digits(text.substr(7), 2, second) ||
        text[9] != ' ' || (text[10] != '+' && text[10] != '-') || !Digits(text.substr(11), 4, zone) || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    const long offset = (zone / 100 * 60 + zone % 100) * 60 * (text[10] == '-' ? -1 : 1);
    return static_cast<std::time_t>(*day * 86400L + hour * 3600L + minute * 60L + second - offset);
}
