// ScheduleEntryCheck: an entry's command line.
#include "foundation/ScheduleEntryCheck.h"

#include <algorithm>

#include "platform/Text.h"

ScheduleEntryCheck::Outcome ScheduleEntryCheck::CheckCommand(const std::string& command, bool required) {
    if (required && Trim(command).empty()) return Outcome::NoCommand;
    if (command.size() > kCommandLimit) return Outcome::CommandTooLong;
    if (std::any_of(command.begin(), command.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return Outcome::ControlCharacter;
    return Outcome::Ok;
}
