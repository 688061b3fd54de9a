// CSmtpSettings: the SMTP server module's settings, read from the Ports and
// Preferences keys when the listener starts (port, session cap) and when a
// session starts (the others).
//
// Every value is clamped to a sane range, so a mistyped setting can make the
// server strict or generous but never unbounded. The waits are derived from
// "SMTP Timeout" in RFC 5321's proportions (at its default of 300 s: 5
// minutes for a command line, 3 for each data block, 10 for the whole data);
// they are held in milliseconds so that tests can shorten them.
#pragma once

#include <cstdint>
#include <string>

#include "CLoginThrottle.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpSettings {
public:
    static constexpr std::uint32_t kDefaultPort = 25;
    // 0: as many sessions as the descriptor limit allows (CSessionGate).
    static constexpr std::uint32_t kDefaultMaxSessions = 0;
    static constexpr std::uint32_t kDefaultMaxMessageSize = 50u * 1024 * 1024;
    static constexpr std::uint32_t kDefaultTimeoutSeconds = 300;
    // Content lengths travel as 32 bits and are read back through a signed
    // count; the margin leaves room for the header line the server adds.
    static constexpr std::uint32_t kHardMaxMessageSize = 0x7FFF0000u;
    static constexpr std::uint32_t kHardMaxSessions = 4096;
    static constexpr std::uint32_t kHardMaxTimeoutSeconds = 3600;
    static constexpr std::uint32_t kDefaultSessionsPerClient = 10;
    // Ports\SMTP Crowded Timeout: the wait for a command of a client that
    // has not sent MAIL while the listener is more than 3/4 full.
    static constexpr std::uint32_t kDefaultCrowdedTimeoutSeconds = 10;
    static constexpr std::uint32_t kHardMaxCrowdedTimeoutSeconds = 300;
    // Commands that do not move a transaction on (NOOP, RSET, VRFY, HELP,
    // EXPN, HELO, EHLO) tolerated between two accepted messages.
    static constexpr std::uint32_t kMaxIdleCommands = 100;
    // The longest a recipient look-up may keep a client waiting.
    static constexpr int kDatabaseWaitMs = 10000;
    // A client that keeps failing waits before each reply from its third
    // error on: one step more per error, up to the cap.
    static constexpr int kTarpitAfterErrors = 3;
    static constexpr int kTarpitStepMs = 1000;
    static constexpr int kTarpitCapMs = 5000;

    std::uint16_t port = kDefaultPort;
    // Ports\Submission Port (AUTH before MAIL) and Ports\SMTPS Port (the
    // same behind implicit TLS); 0: not offered.
    std::uint16_t submissionPort = 0;
    std::uint16_t smtpsPort = 0;
    // Ports\SMTP Listen Address: empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    // Ports\SMTP Max Sessions: a lower cap than the descriptors allow; 0 for none.
    std::uint32_t maxSessions = kDefaultMaxSessions;
    std::uint32_t maxMessageSize = kDefaultMaxMessageSize;
    std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
    // Ports\SMTP Sessions Per Client: sessions one address (an IPv6 /64)
    // may hold at once; loopback is not limited.
    std::uint32_t sessionsPerClient = kDefaultSessionsPerClient;
    std::uint32_t maxIdleCommands = kMaxIdleCommands;
    // Deadlines: a whole command line; each data block (CDataReceiver's
    // block size) of a message; everything from DATA to its end.
    int commandTimeoutMs = kDefaultTimeoutSeconds * 1000;
    int dataBlockTimeoutMs = kDefaultTimeoutSeconds * 600;
    int dataTimeoutMs = kDefaultTimeoutSeconds * 2000;
    int databaseWaitMs = kDatabaseWaitMs;
    int crowdedTimeoutMs = kDefaultCrowdedTimeoutSeconds * 1000;
    int tarpitStepMs = kTarpitStepMs;
    int tarpitCapMs = kTarpitCapMs;
    // Preferences\IPBlocking: 1 relays only for RelayAllowed ranges.
    std::uint32_t ipBlocking = 0;
    // Failed AUTH: the delays and address lock, as the POP3 server's logins.
    CLoginThrottle::Policy login;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CSmtpSettings Read();
    // Derives the deadlines from timeoutSeconds.
    void SetTimeout(std::uint32_t seconds);
};
