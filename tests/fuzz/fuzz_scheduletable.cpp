// Fuzz target: the weekly table file ("Schedule.txt") as the scheduler reads
// it, and the table written back.
//
// Besides memory safety it checks the bounds (entries per day, one line per
// command) and that a table written back reads as the same table.
#include "cycle/CScheduleTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CScheduleTable table = CScheduleTable::Parse(text);
    for (const auto& day : table.days) {
        if (day.size() > CScheduleTable::kEntriesPerDay) std::abort();
        for (const CScheduleTable::Entry& entry : day)
            if (entry.command.find_first_of("\r\n") != std::string::npos) std::abort();
    }
    const std::string written = table.Serialize();
    if (written.size() <= CScheduleTable::kFileLimit && !(CScheduleTable::Parse(written).days == table.days))
        std::abort();
    return 0;
}
