// ProcessSettings: the start-up read of the Preferences switches.
#include "foundation/ProcessSettings.h"

#include "foundation/CRegistryKey.h"
#include "foundation/SettingsCatalogue.h"

void ProcessSettings::Load() {
    *this = ProcessSettings();
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (key.OpenProductKey()) {
        if (key.OpenSubKey(settings::kPreferences)) {
            // A value missing from an existing key reads 0, as everywhere.
            routeAllMailsToPostmaster = key.GetDWord("RouteAllMailsToPostmaster") != 0;
            accessControl = key.GetDWord("AccessControl") != 0;
            changeFromAddress = key.GetDWord("ChangeFromAddress") != 0;
            changeToAddress = key.GetDWord("ChangeToAddress") != 0;
            storeMailLog = key.GetDWord("StoreMailLog") != 0;
            allMailLogMailBox = key.GetString("AllMailLogMailBox");
            key.CloseSubKey();
        }
        key.CloseProductKey();
    }
}

ProcessSettings& ProcessSettings::Current() {
    static ProcessSettings current;
    return current;
}
