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
#include "foundation/SettingValue.h"

// The failed-login policy (CLoginThrottle::Policy) is the module's own.
class MODULE_LOCAL CPop3Settings : public CLoginThrottle::Policy {
public:
    // Its catalogue entries: key, default and range are theirs.
    static constexpr settings::Dword kPort{settings::kPorts, "POP3 Port"};
    static constexpr settings::Dword kTlsPort{settings::kPorts, "POP3S Port"};
    static constexpr settings::Dword kRequireTlsForLogin{settings::kPreferences, "RequireTLSForLogin"};
    static constexpr settings::Text kListenAddress{settings::kPorts, "POP3 Listen Address"};
    static constexpr settings::Dword kMaxSessions{settings::kPorts, "POP3 Max Sessions"};
    static constexpr settings::Dword kSessionsPerClient{settings::kPorts, "POP3 Sessions Per Client"};
    static constexpr settings::Dword kTimeout{settings::kPorts, "POP3 Timeout"};
    static constexpr settings::Dword kLoginTimeout{settings::kPorts, "POP3 Login Timeout"};
    // Commands a client may send before it has logged in.
    static constexpr int kMaxCommandsBeforeLogin = 20;

    std::uint16_t port = static_cast<std::uint16_t>(kPort.Default());
    // Implicit TLS (0: none); served only when a certificate was loaded.
    std::uint16_t tlsPort = static_cast<std::uint16_t>(kTlsPort.Default());
    // Ports\POP3 Listen Address: empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    // USER/PASS before STLS only from loopback and private networks.
    bool requireTlsForLogin = kRequireTlsForLogin.Default() == 1;
    std::uint32_t maxSessions = kMaxSessions.Default();
    // Sessions one address (an IPv6 /64) may hold over both ports; loopback is exempt.
    std::uint32_t sessionsPerClient = kSessionsPerClient.Default();
    // The time a whole command line may take, and a send.
    int commandTimeoutMs = static_cast<int>(kTimeout.Default() * 1000);
    // From connecting to a completed login.
    int loginTimeoutMs = static_cast<int>(kLoginTimeout.Default() * 1000);

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CPop3Settings Read();
};
