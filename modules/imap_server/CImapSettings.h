// CImapSettings: the IMAP server module's settings (see CServiceSettings).
//
// A logged-in client may stay silent for the RFC's thirty minutes ("IMAP
// Autologout"); a client that has not logged in gets far less ("IMAP Login
// Timeout" and a few commands).
#pragma once

#include "CServiceSettings.h"

class MODULE_LOCAL CImapSettings : public CServiceSettings {
public:
    // Its catalogue entries: key, default and range are theirs.
    static constexpr settings::Dword kPort{settings::kPorts, "IMAP Port"};
    static constexpr settings::Dword kTlsPort{settings::kPorts, "IMAPS Port"};
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

    CImapSettings() { Defaults<CImapSettings>(); }

    int commandTimeoutMs = kCommandTimeoutMs;
    int autologoutMs = static_cast<int>(kAutologout.Default() * 1000);
    // Largest APPEND literal.
    std::uint32_t maxAppendLiteral = kMaxLiteral.Default();
    // A slice of an IDLE wait: how soon a stopping server is noticed.
    int idleSliceMs = 2000;

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CImapSettings Read();
};
