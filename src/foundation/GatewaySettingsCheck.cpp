// GatewaySettingsCheck: the interval's and the outbox directory's bounds.
#include "foundation/GatewaySettingsCheck.h"

#include <cstdlib>

GatewaySettingsCheck::Outcome GatewaySettingsCheck::CheckEvery(const std::string& text, std::uint32_t& minutes) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return Outcome::BadEveryMinutes;
    const unsigned long n = std::strtoul(text.c_str(), nullptr, 10);
    if (n > kMaxEveryMinutes) return Outcome::BadEveryMinutes;
    minutes = static_cast<std::uint32_t>(n);
    return Outcome::Ok;
}

GatewaySettingsCheck::Outcome GatewaySettingsCheck::CheckOutbox(const std::string& directory) {
    return directory.size() > kMaxDirectory ? Outcome::DirectoryTooLong : Outcome::Ok;
}
