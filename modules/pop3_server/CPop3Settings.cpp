// CPop3Settings: reads and clamps the POP3 server module's settings.
#include "CPop3Settings.h"

CPop3Settings CPop3Settings::Read() {
    CPop3Settings result;
    result.port = static_cast<std::uint16_t>(kPort.Value());
    result.tlsPort = static_cast<std::uint16_t>(kTlsPort.Value());
    result.requireTlsForLogin = kRequireTlsForLogin.Value() == 1;
    result.listenAddress = kListenAddress.Value(255);
    result.maxSessions = kMaxSessions.Clamped();
    result.sessionsPerClient = kSessionsPerClient.Clamped();
    result.commandTimeoutMs = static_cast<int>(kTimeout.Clamped() * 1000u);
    result.loginTimeoutMs = static_cast<int>(kLoginTimeout.Clamped() * 1000u);
    return result;
}
