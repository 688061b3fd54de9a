// CSmtpSettings: reads and clamps the SMTP server module's settings.
#include "CSmtpSettings.h"

#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"

CSmtpSettings CSmtpSettings::Read() {
    CSmtpSettings result;
    DWORD value = 0;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Port", value) && value >= 1 && value <= 65535)
        result.port = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPortsKeyPath, "Submission Port", value) && value <= 65535)
        result.submissionPort = static_cast<std::uint16_t>(value);
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTPS Port", value) && value <= 65535)
        result.smtpsPort = static_cast<std::uint16_t>(value);
    ReadRegistryString(settings::kPortsKeyPath, "SMTP Listen Address", result.listenAddress, 256);
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Max Sessions", value))
        result.maxSessions = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Max Message Size", value) && value >= 1)
        result.maxMessageSize = value > kHardMaxMessageSize ? kHardMaxMessageSize : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Timeout", value) && value >= 1)
        result.SetTimeout(value > kHardMaxTimeoutSeconds ? kHardMaxTimeoutSeconds : value);
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Sessions Per Client", value) && value >= 1)
        result.sessionsPerClient = value > kHardMaxSessions ? kHardMaxSessions : value;
    if (ReadRegistryDword(settings::kPortsKeyPath, "SMTP Crowded Timeout", value) && value >= 1)
        result.crowdedTimeoutMs =
            static_cast<int>((value > kHardMaxCrowdedTimeoutSeconds ? kHardMaxCrowdedTimeoutSeconds : value) * 1000u);
    value = 0;
    if (ReadRegistryDword(settings::kPreferencesKeyPath, "IPBlocking", value)) result.ipBlocking = value;
    return result;
}

void CSmtpSettings::SetTimeout(std::uint32_t seconds) {
    timeoutSeconds = seconds;
    // At most 3600 s: twice that in milliseconds still fits an int.
    commandTimeoutMs = static_cast<int>(seconds * 1000u);
    dataBlockTimeoutMs = static_cast<int>(seconds * 600u);
    dataTimeoutMs = static_cast<int>(seconds * 2000u);
}
