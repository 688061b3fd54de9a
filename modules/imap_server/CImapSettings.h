// CImapSettings: the IMAP server module's settings, read from the Ports key
// when the listener starts.
//
// Every value is clamped, so a mistyped setting makes the server strict or
// generous but never unbounded. A logged-in client may stay silent for the
// RFC's thirty minutes ("IMAP Autologout"); a client that has not logged in
// gets far less ("IMAP Login Timeout" and a few commands). The waits are
// held in milliseconds so that tests can shorten them.
#pragma once

#include <cstdint>
#include <string>

#include "CLoginThrottle.h"
#include "ModuleVisibility.h"
#include "foundation/SettingValue.h"

// The failed-login policy (CLoginThrottle::Policy) is the module's own.
class MODULE_LOCAL CImapSettings : public CLoginThrottle::Policy {
public:
    // Its catalogue entries: key, default and range are theirs.
    static constexpr settings::Dword kPort{settings::kPorts, "IMAP Port"};
    static constexpr settings::Dword kTlsPort{settings::kPorts, "IMAPS Port"};
    static constexpr settings::Dword kRequireTlsForLogin{settings::kPreferences, "RequireTLSForLogin"};
    static constexpr settings::Text kListenAddress{settings::kPorts, "IMAP Listen Address"};
    static constexpr settings::Dword kMaxSessions{settings::kPorts, "IMAP Max Sessions"};
    static constexpr settings::Dword kSessionsPerClient{settings::kPorts, "IMAP Sessions Per Client"};
    static constexpr settings::Dword kLoginTimeout{settings::kPorts, "IMAP Login Timeout"};
    static constexpr settings::Dword kAutologout{settings::kPorts, "IMAP Autologout"};
    static constexpr settings::Dword kMaxLiteral{settings::kPorts, "IMAP Max Literal"};
    // Commands a client may send before it has logged in.
    static constexpr int kMaxCommandsBeforeLogin = 20;
    // The time the rest of a command (its further lines and literals) may take once begun.
    static constexpr int kCommandTimeoutMs = 5 * 60 * 1000;

    std::uint16_t port = static_cast<std::uint16_t>(kPort.Default());
    // Implicit TLS (0: none); served only when a certificate was loaded.
    std::uint16_t tlsPort = static_cast<std::uint16_t>(kTlsPort.Default());
    std::string listenAddress;
    // LOGIN and AUTHENTICATE only inside TLS for clients outside loopback and private networks.
    bool requireTlsForLogin = kRequireTlsForLogin.Default() == 1;
    std::uint32_t maxSessions = kMaxSessions.Default();
    std::uint32_t sessionsPerClient = kSessionsPerClient.Default();
    int commandTimeoutMs = kCommandTimeoutMs;
    int loginTimeoutMs = static_cast<int>(kLoginTimeout.Default() * 1000);
    int autologoutMs = static_cast<int>(kAutologout.Default() * 1000);
    // Largest APPEND literal.
    std::uint32_t maxAppendLiteral = kMaxLiteral.Default();
    // A slice of an IDLE wait: how soon a stopping server is noticed.
    int idleSliceMs = 2000;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CImapSettings Read();
};
