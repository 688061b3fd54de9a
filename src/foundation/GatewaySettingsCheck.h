// GatewaySettingsCheck: the Netware gateway's interval and the longest
// outbox directory, for the gateway command and the gateway page alike; each
// words a refusal in its own way. Its daily time is the schedule's
// (ScheduleCheck).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class GatewaySettingsCheck {
public:
    static constexpr unsigned kMaxEveryMinutes = 10080;  // a week
    // The longest directory the gateway reads back.
    static constexpr std::size_t kMaxDirectory = 259;

    enum class Outcome { Ok, BadEveryMinutes, DirectoryTooLong };

    // Decimal digits, 0 (never) to kMaxEveryMinutes; minutes set when Ok.
    static Outcome CheckEvery(const std::string& text, std::uint32_t& minutes);
    // The directory as it will be stored (already trimmed).
    static Outcome CheckOutbox(const std::string& directory);
};
