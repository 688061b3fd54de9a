// CScheduleSettings: the fifteen numbers of "Schedule.stg".
#include "cycle/CScheduleSettings.h"

#include "platform/Home.h"
#include "platform/WholeFile.h"

namespace {

// The numbers in file order, the reserved fifteenth left out.
std::array<std::uint32_t*, CScheduleSettings::kNumbers - 1> Fields(CScheduleSettings& s) {
    return {&s.settingsChanged, &s.atChosen,    &s.enabled,     &s.weekdays[0], &s.weekdays[1],
            &s.weekdays[2],     &s.weekdays[3], &s.weekdays[4], &s.weekdays[5], &s.weekdays[6],
            &s.interval,        &s.hour,        &s.minute,      &s.mode};
}

}  // namespace

CScheduleSettings CScheduleSettings::Parse(std::string_view bytes) {
    CScheduleSettings settings;
    std::size_t at = 0;
    for (std::uint32_t* field : Fields(settings)) {
        if (bytes.size() - at < 4) break;
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        *field = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                 static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        at += 4;
    }
    return settings;
}

std::string CScheduleSettings::Serialize() const {
    CScheduleSettings copy = *this;
    std::string bytes;
    bytes.reserve(kFileBytes);
    const auto put = [&bytes](std::uint32_t n) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((n >> shift) & 0xFF));
    };
    for (const std::uint32_t* field : Fields(copy)) put(*field);
    put(0);  // reserved
    return bytes;
}

CScheduleSettings CScheduleSettings::Load(const std::string& path) {
    std::string bytes;
    if (!ReadWholeFile(path, kFileBytes, bytes)) return CScheduleSettings();
    return Parse(bytes);
}

bool CScheduleSettings::Save(const std::string& path) const {
    return WriteWholeFile(path, Serialize());
}

std::string CScheduleSettings::DefaultPath() {
    return Home::PathOf(kFileName);
}
