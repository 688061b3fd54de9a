// GatewaySettingsCheck: the Netware gateway's schedule ranges and the
// longest outbox directory, for the gateway command and the gateway page
// alike; each words a refusal in its own way.
#pragma once

#include <cstddef>
#include <string>

class GatewaySettingsCheck {
public:
    static constexpr unsigned kMaxHour = 23;
    static constexpr unsigned kMaxMinute = 59;
    static constexpr unsigned kMaxEveryMinutes = 10080;  // a week
    // The longest directory the gateway reads back.
    static constexpr std::size_t kMaxDirectory = 259;

    enum class Outcome { Ok, DirectoryTooLong };

    // The directory as it will be stored (already trimmed).
    static Outcome CheckOutbox(const std::string& directory);
};
