// CSmtpSettings: the SMTP server module's settings, read from the Ports and
// Preferences keys when the listener starts (port, session cap) and when a
// session starts (the others).
//
// Every value is clamped to a sane range, so a mistyped setting can make the
// server strict or generous but never unbounded.
#pragma once

#include <cstdint>
#include <string>

#include "ModuleVisibility.h"

class SMTPD_LOCAL CSmtpSettings {
public:
    static constexpr std::uint32_t kDefaultPort = 25;
    static constexpr std::uint32_t kDefaultMaxSessions = 50;
    static constexpr std::uint32_t kDefaultMaxMessageSize = 50u * 1024 * 1024;
    static constexpr std::uint32_t kDefaultTimeoutSeconds = 300;
    // Content lengths travel as 32 bits and are read back through a signed
    // count; the margin leaves room for the header line the server adds.
    static constexpr std::uint32_t kHardMaxMessageSize = 0x7FFF0000u;
    static constexpr std::uint32_t kHardMaxSessions = 1000;
    static constexpr std::uint32_t kHardMaxTimeoutSeconds = 3600;

    std::uint16_t port = kDefaultPort;
    // Ports\SMTP Listen Address: empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    std::uint32_t maxSessions = kDefaultMaxSessions;
    std::uint32_t maxMessageSize = kDefaultMaxMessageSize;
    std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
    // Preferences\IPBlocking: 1 relays only for RelayAllowed ranges.
    std::uint32_t ipBlocking = 0;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CSmtpSettings Read();
};
