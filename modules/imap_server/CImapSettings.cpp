// CImapSettings: reads and clamps the IMAP server module's settings.
#include "CImapSettings.h"

CImapSettings CImapSettings::Read() {
    CImapSettings result;
    result.port = static_cast<std::uint16_t>(kPort.Value());
    result.tlsPort = static_cast<std::uint16_t>(kTlsPort.Value());
    result.requireTlsForLogin = kRequireTlsForLogin.Value() == 1;
    result.listenAddress = kListenAddress.Value(255);
    result.maxSessions = kMaxSessions.Clamped();
    result.sessionsPerClient = kSessionsPerClient.Clamped();
    result.loginTimeoutMs = static_cast<int>(kLoginTimeout.Clamped() * 1000u);
    result.autologoutMs = static_cast<int>(kAutologout.Clamped() * 1000u);
    result.maxAppendLiteral = kMaxLiteral.Clamped();
    return result;
}
