// CServiceSettings: the settings every mail-reading service (POP3, IMAP)
// reads from the Ports key when its listener starts: the ports, the listen
// address, the session caps, the login time-out and whether logins need
// TLS. The failed-login policy (CLoginThrottle::Policy) is the service's own.
//
// Every value is clamped, so a mistyped setting makes the server strict or
// generous but never unbounded. The waits are held in milliseconds so that
// tests can shorten them. A service's settings class derives from this one
// and names its catalogue entries (kPort, kTlsPort, kListenAddress,
// kMaxSessions, kSessionsPerClient, kLoginTimeout): their keys, defaults and
// ranges are the catalogue's.
#pragma once

#include <cstdint>
#include <string>

#include "CLoginThrottle.h"
#include "ModuleVisibility.h"
#include "foundation/SettingValue.h"

class MODULE_LOCAL CServiceSettings : public CLoginThrottle::Policy {
public:
    static constexpr settings::Dword kRequireTlsForLogin{settings::kPreferences, "RequireTLSForLogin"};

    std::uint16_t port = 0;
    // Implicit TLS (0: none); served only when a certificate was loaded.
    std::uint16_t tlsPort = 0;
    // Empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    // Logins before TLS only from loopback and private networks.
    bool requireTlsForLogin = kRequireTlsForLogin.Default() == 1;
    std::uint32_t maxSessions = 0;
    // Sessions one address (an IPv6 /64) may hold over both ports; loopback is exempt.
    std::uint32_t sessionsPerClient = 0;
    // From connecting to a completed login.
    int loginTimeoutMs = 0;

protected:
    // The defaults of Keys' entries.
    template <class Keys>
    void Defaults() {
        port = static_cast<std::uint16_t>(Keys::kPort.Default());
        tlsPort = static_cast<std::uint16_t>(Keys::kTlsPort.Default());
        maxSessions = Keys::kMaxSessions.Default();
        sessionsPerClient = Keys::kSessionsPerClient.Default();
        loginTimeoutMs = static_cast<int>(Keys::kLoginTimeout.Default() * 1000);
    }
    // Reads Keys' entries now; unreadable or out-of-range values keep defaults.
    template <class Keys>
    void ReadCommon() {
        port = static_cast<std::uint16_t>(Keys::kPort.Value());
        tlsPort = static_cast<std::uint16_t>(Keys::kTlsPort.Value());
        requireTlsForLogin = kRequireTlsForLogin.Value() == 1;
        listenAddress = Keys::kListenAddress.Value(255);
        maxSessions = Keys::kMaxSessions.Clamped();
        sessionsPerClient = Keys::kSessionsPerClient.Clamped();
        loginTimeoutMs = static_cast<int>(Keys::kLoginTimeout.Clamped() * 1000u);
    }
};
