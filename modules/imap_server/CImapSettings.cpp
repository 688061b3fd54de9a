// CImapSettings: reads and clamps the IMAP server module's settings.
#include "CImapSettings.h"

#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"

namespace {
int Seconds(DWORD value, DWORD low, DWORD high) {
    return static_cast<int>((value < low ? low : value > high ? high : value) * 1000u);
}
}  // namespace

CImapSettings CImapSettings::Read() {
    CImapSettings result;
    DWORD value = 0;
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Port", value) && value >= 1 && value <= 65535)
        result.port = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAPS Port", value) && value <= 65535)
        result.tlsPort = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPreferencesKeyPath, "RequireTLSForLogin", value))
        result.requireTlsForLogin = value == 1;
    ReadRegistryString(settings::kPortsKeyPath, "IMAP Listen Address", result.listenAddress, 256);
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Max Sessions", value) && value >= 1)
        result.maxSessions = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Sessions Per Client", value) && value >= 1)
        result.sessionsPerClient = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Login Timeout", value) && value >= 1)
        result.loginTimeoutMs = Seconds(value, 1, 3600);
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Autologout", value) && value >= 1)
        result.autologoutMs = Seconds(value, 60, 7200);
    if (ReadRegistryDword(settings::kPortsKeyPath, "IMAP Max Literal", value) && value >= 1024)
        result.maxAppendLiteral = value;
    return result;
}
