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

// The failed-login policy (CLoginThrottle::Policy) is the module's own.
class MODULE_LOCAL CImapSettings : public CLoginThrottle::Policy {
public:
    static constexpr std::uint32_t kDefaultPort = 143;
    static constexpr std::uint32_t kDefaultTlsPort = 993;
    static constexpr std::uint32_t kDefaultMaxSessions = 2000;
    static constexpr std::uint32_t kHardMaxSessions = 10000;
    static constexpr std::uint32_t kDefaultSessionsPerClient = 50;
    static constexpr std::uint32_t kDefaultLoginTimeoutSeconds = 60;
    static constexpr std::uint32_t kDefaultAutologoutSeconds = 1800;
    static constexpr std::uint32_t kDefaultMaxLiteral = 50u * 1024 * 1024;
    // Commands a client may send before it has logged in.
    static constexpr int kMaxCommandsBeforeLogin = 20;
    // The time the rest of a command (its further lines and literals) may take once begun.
    static constexpr int kCommandTimeoutMs = 5 * 60 * 1000;

    std::uint16_t port = kDefaultPort;
    // Implicit TLS (0: none); served only when a certificate was loaded.
    std::uint16_t tlsPort = kDefaultTlsPort;
    std::string listenAddress;
    // LOGIN and AUTHENTICATE only inside TLS for clients outside loopback and private networks.
    bool requireTlsForLogin = false;
    std::uint32_t maxSessions = kDefaultMaxSessions;
    std::uint32_t sessionsPerClient = kDefaultSessionsPerClient;
    int commandTimeoutMs = kCommandTimeoutMs;
    int loginTimeoutMs = kDefaultLoginTimeoutSeconds * 1000;
    int autologoutMs = kDefaultAutologoutSeconds * 1000;
    // Largest APPEND literal.
    std::uint32_t maxAppendLiteral = kDefaultMaxLiteral;
    // A slice of an IDLE wait: how soon a stopping server is noticed.
    int idleSliceMs = 2000;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CImapSettings Read();
};
