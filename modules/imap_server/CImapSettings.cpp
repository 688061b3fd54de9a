// CImapSettings: reads and clamps the IMAP server module's settings.
#include "CImapSettings.h"

CImapSettings CImapSettings::Read() {
    CImapSettings result;
    result.ReadCommon<CImapSettings>();
    result.autologoutMs = static_cast<int>(kAutologout.Clamped() * 1000u);
    result.maxAppendLiteral = kMaxLiteral.Clamped();
    return result;
}
