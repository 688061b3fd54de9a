// ScheduleCheck: the times, intervals and command lines of the send and
// receive schedule as the schedule command, the scheduler page and the
// multiple-scheduling dialog all accept them (the gateway's daily time too);
// each front end words a refusal in its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ScheduleCheck {
public:
    static constexpr std::uint32_t kMaxHour = 23;
    static constexpr std::uint32_t kMaxMinute = 59;
    static constexpr std::size_t kCommandLimit = 1024;

    enum class Outcome {
        Ok,
        BadHour,
        BadMinute,
        BadTimeOfDay,
        BadInterval,
        NoCommand,
        CommandTooLong,
        ControlCharacter
    };

    // Decimal digits only, in range; the value is set only when Ok, so a
    // field that does not read leaves the stored value alone.
    static Outcome CheckHour(const std::string& text, std::uint32_t& hour);
    static Outcome CheckMinute(const std::string& text, std::uint32_t& minute);
    // "HH:MM", 00:00 to 23:59; BadTimeOfDay for any fault.
    static Outcome CheckTimeOfDay(const std::string& text, std::uint32_t& hour, std::uint32_t& minute);
    // Minutes between passes, 1 to CScheduleSettings::kMaxInterval.
    static Outcome CheckInterval(const std::string& text, std::uint32_t& minutes);
    // NoCommand for a blank line when the entry runs it (required); a line
    // break would end the entry's line in the file and start another, so
    // control characters are refused even in a line not run.
    static Outcome CheckCommand(const std::string& command, bool required);
};
