// CSmtpSettings: reads and clamps the SMTP server module's settings.
#include "CSmtpSettings.h"

#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"

CSmtpSettings CSmtpSettings::Read() {
    CSmtpSettings result;
    DWORD value = 0;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Port", value) && value >= 1 && value <= 65535)
        result.port = static_cast<std::uint16_t>(value);
    ReadRegistryString(settings::kPortsKeyPath, "SMTP Listen Address", result.listenAddress, 256);
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Max Sessions", value) && value >= 1)
        result.maxSessions = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Max Message Size", value) && value >= 1)
        result.maxMessageSize = value > kHardMaxMessageSize ? kHardMaxMessageSize : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Timeout", value) && value >= 1)
        result.timeoutSeconds = value > kHardMaxTimeoutSeconds ? kHardMaxTimeoutSeconds : value;
    value = 0;
    if (ReadRegistryDword(settings::kPreferencesKeyPath, "IPBlocking", value)) result.ipBlocking = value;
    return result;
}
