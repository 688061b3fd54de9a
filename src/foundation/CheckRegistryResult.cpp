// CheckRegistryResult: one message box per failed read.
#include "foundation/CheckRegistryResult.h"

#include "foundation/SettingsCatalogue.h"
#include "platform/UserInterface.h"

bool CheckRegistryResult(LONG code) {
    if (code == ERROR_SUCCESS) return true;
    UserInterface::Current().MessageBox(
        code == ERROR_ACCESS_DENIED ? "Access Denied in Reading Registry Key" : "Error in Reading Registry Key",
        settings::kMessageBoxTitle);
    return false;
}
