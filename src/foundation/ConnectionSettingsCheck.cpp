// ConnectionSettingsCheck: retries, interval and the texts of a dial-up.
#include "foundation/ConnectionSettingsCheck.h"

#include <cstdlib>

ConnectionSettingsCheck::Outcome ConnectionSettingsCheck::CheckRetries(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return Outcome::BadRetries;
    const unsigned long n = std::strtoul(text.c_str(), nullptr, 10);
    if (n < kMinRetries || n > kMaxRetries) return Outcome::BadRetries;
    value = static_cast<std::uint32_t>(n);
    return Outcome::Ok;
}

ConnectionSettingsCheck::Outcome ConnectionSettingsCheck::CheckInterval(const std::string& seconds) {
    if (seconds.size() > kMaxIntervalDigits || seconds.find_first_not_of("0123456789") != std::string::npos)
        return Outcome::BadInterval;
    return Outcome::Ok;
}

ConnectionSettingsCheck::Outcome ConnectionSettingsCheck::CheckText(const std::string& text) {
    if (text.size() > kMaxText) return Outcome::BadText;
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return Outcome::BadText;
    return Outcome::Ok;
}
