// ScheduleCheck: numbers in range and one-line command lines.
#include "cycle/ScheduleCheck.h"

#include <algorithm>

#include "cycle/CScheduleSettings.h"
#include "platform/DecimalDigits.h"
#include "platform/Text.h"

namespace {

bool NumberIn(const std::string& text, std::uint32_t low, std::uint32_t high, std::uint32_t& value) {
    unsigned long long n = 0;
    if (!ParseDecimalDigits(text, 9, n) || n < low || n > high) return false;
    value = static_cast<std::uint32_t>(n);
    return true;
}

}  // namespace

ScheduleCheck::Outcome ScheduleCheck::CheckHour(const std::string& text, std::uint32_t& hour) {
    return NumberIn(text, 0, kMaxHour, hour) ? Outcome::Ok : Outcome::BadHour;
}

ScheduleCheck::Outcome ScheduleCheck::CheckMinute(const std::string& text, std::uint32_t& minute) {
    return NumberIn(text, 0, kMaxMinute, minute) ? Outcome::Ok : Outcome::BadMinute;
}

ScheduleCheck::Outcome ScheduleCheck::CheckTimeOfDay(const std::string& text, std::uint32_t& hour,
                                                     std::uint32_t& minute) {
    const std::size_t colon = text.find(':');
    std::uint32_t h = 0, m = 0;
    if (colon == std::string::npos || CheckHour(text.substr(0, colon), h) != Outcome::Ok ||
        CheckMinute(text.substr(colon + 1), m) != Outcome::Ok)
        return Outcome::BadTimeOfDay;
    hour = h;
    minute = m;
    return Outcome::Ok;
}

ScheduleCheck::Outcome ScheduleCheck::CheckInterval(const std::string& text, std::uint32_t& minutes) {
    return NumberIn(text, 1, CScheduleSettings::kMaxInterval, minutes) ? Outcome::Ok : Outcome::BadInterval;
}

ScheduleCheck::Outcome ScheduleCheck::CheckCommand(const std::string& command, bool required) {
    if (required && Trim(command).empty()) return Outcome::NoCommand;
    if (command.size() > kCommandLimit) return Outcome::CommandTooLong;
    if (std::any_of(command.begin(), command.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return Outcome::ControlCharacter;
    return Outcome::Ok;
}
