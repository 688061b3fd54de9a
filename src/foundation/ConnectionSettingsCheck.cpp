// ConnectionSettingsCheck: retries, interval and the texts of a dial-up.
#include "foundation/ConnectionSettingsCheck.h"

#include "platform/DecimalDigits.h"

ConnectionSettingsCheck::Outcome ConnectionSettingsCheck::CheckRetries(const std::string& text, std::uint32_t& value) {
    unsigned long long n = 0;
    if (!ParseDecimalDigits(text, 3, n) || n < kMinRetries || n > kMaxRetries) return Outcome::BadRetries;
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
