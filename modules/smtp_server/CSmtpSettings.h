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
#include "foundation/SettingValue.h"

class MODULE_LOCAL CSmtpSettings {
public:
    // Its catalogue entries: key, default and range are theirs.
    static constexpr settings::Dword kPort{settings::kPorts, "SMTP Port"};
    static constexpr settings::Dword kSubmissionPort{settings::kPorts, "Submission Port"};
    static constexpr settings::Dword kSmtpsPort{settings::kPorts, "SMTPS Port"};
    static constexpr settings::Text kListenAddress{settings::kPorts, "SMTP Listen Address"};
    // 0: as many sessions as the descriptor limit allows (CSessionGate).
    static constexpr settings::Dword kMaxSessions{settings::kPorts, "SMTP Max Sessions"};
    static constexpr settings::Dword kMaxMessageSize{settings::kPorts, "SMTP Max Message Size"};
    static constexpr settings::Dword kTimeout{settings::kPorts, "SMTP Timeout"};
    static constexpr settings::Dword kSessionsPerClient{settings::kPorts, "SMTP Sessions Per Client"};
    // The wait for a command of a client that has not sent MAIL while the
    // listener is more than 3/4 full.
    static constexpr settings::Dword kCrowdedTimeout{settings::kPorts, "SMTP Crowded Timeout"};
    static constexpr settings::Dword kIpBlocking{settings::kPreferences, "IPBlocking"};
    static constexpr std::uint32_t kDefaultTimeoutSeconds = kTimeout.Default();
    // Content lengths travel as 32 bits and are read back through a signed
    // count; the margin leaves room for the header line the server adds.
    static constexpr std::uint32_t kHardMaxMessageSize = 0x7FFF0000u;
    static constexpr std::uint32_t kHardMaxSessions = kMaxSessions.Maximum();
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

    std::uint16_t port = static_cast<std::uint16_t>(kPort.Default());
    // Ports\Submission Port (AUTH before MAIL) and Ports\SMTPS Port (the
    // same behind implicit TLS); 0: not offered.
    std::uint16_t submissionPort = static_cast<std::uint16_t>(kSubmissionPort.Default());
    std::uint16_t smtpsPort = static_cast<std::uint16_t>(kSmtpsPort.Default());
    // Ports\SMTP Listen Address: empty for every IPv4 and IPv6 address.
    std::string listenAddress;
    // Ports\SMTP Max Sessions: a lower cap than the descriptors allow; 0 for none.
    std::uint32_t maxSessions = kMaxSessions.Default();
    std::uint32_t maxMessageSize = kMaxMessageSize.Default();
    std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
    // Ports\SMTP Sessions Per Client: sessions one address (an IPv6 /64)
    // may hold at once; loopback is not limited.
    std::uint32_t sessionsPerClient = kSessionsPerClient.Default();
    std::uint32_t maxIdleCommands = kMaxIdleCommands;
    // Deadlines: a whole command line; each data block (CDataReceiver's
    // block size) of a message; everything from DATA to its end.
    int commandTimeoutMs = kDefaultTimeoutSeconds * 1000;
    int dataBlockTimeoutMs = kDefaultTimeoutSeconds * 600;
    int dataTimeoutMs = kDefaultTimeoutSeconds * 2000;
    int databaseWaitMs = kDatabaseWaitMs;
    int crowdedTimeoutMs = static_cast<int>(kCrowdedTimeout.Default() * 1000);
    int tarpitStepMs = kTarpitStepMs;
    int tarpitCapMs = kTarpitCapMs;
    // Preferences\IPBlocking: 1 relays only for RelayAllowed ranges.
    std::uint32_t ipBlocking = kIpBlocking.Default();
    // Failed AUTH: the delays and address lock, as the POP3 server's logins.
    CLoginThrottle::Policy login;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CSmtpSettings Read();
    // Derives the deadlines from timeoutSeconds.
    void SetTimeout(std::uint32_t seconds);
};
