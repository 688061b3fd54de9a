// CPop3Settings: the POP3 server module's settings (see CServiceSettings).
//
// The idle time-out is RFC 1939's ten minutes unless "POP3 Timeout" says
// otherwise; a client that has not logged in gets far less ("POP3 Login
// Timeout", from connecting to login, and a few commands), so that nobody
// holds sessions without an account.
#pragma once

#include "CServiceSettings.h"

class MODULE_LOCAL CPop3Settings : public CServiceSettings {
public:
    // Its catalogue entries: key, default and range are theirs.
    static constexpr settings::Dword kPort{settings::kPorts, "POP3 Port"};
    static constexpr settings::Dword kTlsPort{settings::kPorts, "POP3S Port"};
    static constexpr settings::Text kListenAddress{settings::kPorts, "POP3 Listen Address"};
    static constexpr settings::Dword kMaxSessions{settings::kPorts, "POP3 Max Sessions"};
    static constexpr settings::Dword kSessionsPerClient{settings::kPorts, "POP3 Sessions Per Client"};
    static constexpr settings::Dword kTimeout{settings::kPorts, "POP3 Timeout"};
    static constexpr settings::Dword kLoginTimeout{settings::kPorts, "POP3 Login Timeout"};
    // Commands a client may send before it has logged in.
    static constexpr int kMaxCommandsBeforeLogin = 20;

    CPop3Settings() { Defaults<CPop3Settings>(); }

    // The time a whole command line may take, and a send.
    int commandTimeoutMs = static_cast<int>(kTimeout.Default() * 1000);

    // Reads every value now; unreadable or out-of-range values keep defaults.
    static CPop3Settings Read();
};
