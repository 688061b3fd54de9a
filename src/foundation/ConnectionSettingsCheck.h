// ConnectionSettingsCheck: the dial-up connection's fields as the connection
// command and the connection page both accept them; each front end words a
// refusal in its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ConnectionSettingsCheck {
public:
    // Longer texts than the page's fields take are refused, not cut.
    static constexpr std::size_t kMaxText = 1024;
    static constexpr std::uint32_t kMinRetries = 1;
    static constexpr std::uint32_t kMaxRetries = 100;
    static constexpr std::size_t kMaxIntervalDigits = 5;  // at most 99999 s

    enum class Outcome { Ok, BadRetries, BadInterval, BadText };

    // Decimal digits only, kMinRetries to kMaxRetries; value set when Ok.
    static Outcome CheckRetries(const std::string& text, std::uint32_t& value);
    // The interval as stored (trimmed): empty or up to five digits.
    static Outcome CheckInterval(const std::string& seconds);
    // The connection name, user name or password: no control characters,
    // at most kMaxText bytes.
    static Outcome CheckText(const std::string& text);
};
