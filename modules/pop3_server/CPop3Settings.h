// CPop3Settings: the POP3 server module's settings, read from the Ports key
// when the listener starts.
//
// Every value is clamped, so a mistyped setting makes the server strict or
// generous but never unbounded. The idle time-out is RFC 1939's ten minutes
// unless "POP3 Timeout" says otherwise; a client that has not logged in gets
// far less ("POP3 Login Timeout", from connecting to login, and a few
// commands), so that nobody holds sessions without an account. The waits are
// held in milliseconds so that tests can shorten them.
#pragma once

#include <cstdint>
#include <string>

#include "CLoginThrottle.h"
#include "ModuleVisibility.h"

// The failed-login policy (CLoginThrottle::Policy) is the module's own.
class MODULE_LOCAL CPop3Settings : public CLoginThrottle::Policy {
public:
    static constexpr std::uint32_t kDefaultPort = 110;
    static constexpr std::uint32_t kDefaultMaxSessions = 50;
    static constexpr std::uint32_t kHardMaxSessions = 1000;
    static constexpr std::uint32_t kDefaultTimeoutSeconds = 600;
    static constexpr std::uint32_t kHardMaxTimeoutSeconds = 3600;
    static constexpr std::uint32_t kDefaultSessionsPerClient = 10;
    static constexpr std::uint32_t kDefaultLoginTimeoutSeconds = 30;
    // Commands a client may send before it has logged in.
    static constexpr int kMaxCommandsBeforeLogin = 20;

    std::uint16_t port = kDefaultPort;
    // Implicit TLS (0: none); served only when a certificate was loaded.
    std::uint16_t tlsPort = 0;
    // Ports\POP3 Listen Address: empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    // USER/PASS before STLS only from loopback and private networks.
    bool requireTlsForLogin = false;
    std::uint32_t maxSessions = kDefaultMaxSessions;
    // Sessions one address (an IPv6 /64) may hold over both ports; loopback is exempt.
    std::uint32_t sessionsPerClient = kDefaultSessionsPerClient;
    // The time a whole command line may take, and a send.
    int commandTimeoutMs = kDefaultTimeoutSeconds * 1000;
    // From connecting to a completed login.
    int loginTimeoutMs = kDefaultLoginTimeoutSeconds * 1000;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CPop3Settings Read();
};
