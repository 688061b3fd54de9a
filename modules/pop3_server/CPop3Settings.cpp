// CPop3Settings: reads and clamps the POP3 server module's settings.
#include "CPop3Settings.h"

#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"

CPop3Settings CPop3Settings::Read() {
    CPop3Settings result;
    DWORD value = 0;
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3 Port", value) && value >= 1 && value <= 65535)
        result.port = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3S Port", value) && value <= 65535)
        result.tlsPort = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPreferencesKeyPath, "RequireTLSForLogin", value))
        result.requireTlsForLogin = value == 1;
    ReadRegistryString(settings::kPortsKeyPath, "POP3 Listen Address", result.listenAddress, 256);
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3 Max Sessions", value) && value >= 1)
        result.maxSessions = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3 Sessions Per Client", value) && value >= 1)
        result.sessionsPerClient = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3 Timeout", value) && value >= 1)
        result.commandTimeoutMs =
            static_cast<int>((value > kHardMaxTimeoutSeconds ? kHardMaxTimeoutSeconds : value) * 1000u);
    if (ReadRegistryDword(settings::kPortsKeyPath, "POP3 Login Timeout", value) && value >= 1)
        result.loginTimeoutMs =
            static_cast<int>((value > kHardMaxTimeoutSeconds ? kHardMaxTimeoutSeconds : value) * 1000u);
    return result;
}
