// CSmtpSettings: reads and clamps the SMTP server module's settings.
#include "CSmtpSettings.h"

#include <algorithm>

CSmtpSettings CSmtpSettings::Read() {
    CSmtpSettings result;
    result.port = static_cast<std::uint16_t>(kPort.Value());
    result.submissionPort = static_cast<std::uint16_t>(kSubmissionPort.Value());
    result.smtpsPort = static_cast<std::uint16_t>(kSmtpsPort.Value());
    result.listenAddress = kListenAddress.Value(255);
    result.maxSessions = kMaxSessions.Clamped();
    result.maxMessageSize = std::min(kMaxMessageSize.Clamped(), kHardMaxMessageSize);
    result.SetTimeout(kTimeout.Clamped());
    result.sessionsPerClient = kSessionsPerClient.Clamped();
    result.crowdedTimeoutMs = static_cast<int>(kCrowdedTimeout.Clamped() * 1000u);
    result.ipBlocking = kIpBlocking.Value();
    return result;
}

void CSmtpSettings::SetTimeout(std::uint32_t seconds) {
    timeoutSeconds = seconds;
    // At most 3600 s: twice that in milliseconds still fits an int.
    commandTimeoutMs = static_cast<int>(seconds * 1000u);
    dataBlockTimeoutMs = static_cast<int>(seconds * 600u);
    dataTimeoutMs = static_cast<int>(seconds * 2000u);
}
