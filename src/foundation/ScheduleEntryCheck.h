// ScheduleEntryCheck: the command line of a weekly schedule entry, as the
// schedule command and the multiple-scheduling dialog both accept it; each
// words a refusal in its own way.
#pragma once

#include <cstddef>
#include <string>

class ScheduleEntryCheck {
public:
    static constexpr std::size_t kCommandLimit = 1024;

    enum class Outcome { Ok, NoCommand, CommandTooLong, ControlCharacter };

    // NoCommand for a blank line when the entry runs it (required); a line
    // break would end the entry's line in the file and start another, so
    // control characters are refused even in a line not run.
    static Outcome CheckCommand(const std::string& command, bool required);
};
