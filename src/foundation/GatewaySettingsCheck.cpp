// GatewaySettingsCheck: the interval's and the outbox directory's bounds.
#include "foundation/GatewaySettingsCheck.h"

#include "platform/DecimalDigits.h"

GatewaySettingsCheck::Outcome GatewaySettingsCheck::CheckEvery(const std::string& text, std::uint32_t& minutes) {
    unsigned long long n = 0;
    if (!ParseDecimalDigits(text, 9, n) || n > kMaxEveryMinutes) return Outcome::BadEveryMinutes;
    minutes = static_cast<std::uint32_t>(n);
    return Outcome::Ok;
}

GatewaySettingsCheck::Outcome GatewaySettingsCheck::CheckOutbox(const std::string& directory) {
    return directory.size() > kMaxDirectory ? Outcome::DirectoryTooLong : Outcome::Ok;
}
