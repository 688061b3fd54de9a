// Fuzz target: the scheduler's state file ("Schedule.stg") as it is read,
// and the file written from it.
//
// Besides memory safety it checks that the whole numbers read are written
// back unchanged, in place, and that the file written is always 60 bytes.
#include "cycle/CScheduleSettings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const CScheduleSettings settings = CScheduleSettings::Parse(bytes);
    const std::string written = settings.Serialize();
    if (written.size() != CScheduleSettings::kFileBytes) std::abort();
    const std::size_t kept = std::min<std::size_t>(size / 4, CScheduleSettings::kNumbers - 1) * 4;
    if (written.compare(0, kept, bytes.substr(0, kept)) != 0) std::abort();
    if (written.compare(56, 4, std::string(4, '\0')) != 0) std::abort();
    return 0;
}
