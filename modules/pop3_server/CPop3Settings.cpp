// CPop3Settings: reads and clamps the POP3 server module's settings.
#include "CPop3Settings.h"

CPop3Settings CPop3Settings::Read() {
    CPop3Settings result;
    result.ReadCommon<CPop3Settings>();
    result.commandTimeoutMs = static_cast<int>(kTimeout.Clamped() * 1000u);
    return result;
}
