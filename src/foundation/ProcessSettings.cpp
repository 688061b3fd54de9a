// ProcessSettings: the start-up read of the Preferences switches.
#include "foundation/ProcessSettings.h"

#include "foundation/SettingValue.h"

void ProcessSettings::Load() {
    // A value missing from an existing key reads 0, as everywhere; without
    // the key, each keeps the catalogue's default.
    routeAllMailsToPostmaster = settings::Dword{settings::kPreferences, "RouteAllMailsToPostmaster"}.ValueOrZero() != 0;
    accessControl = settings::Dword{settings::kPreferences, "AccessControl"}.ValueOrZero() != 0;
    changeFromAddress = settings::Dword{settings::kPreferences, "ChangeFromAddress"}.ValueOrZero() != 0;
    changeToAddress = settings::Dword{settings::kPreferences, "ChangeToAddress"}.ValueOrZero() != 0;
    storeMailLog = settings::Dword{settings::kPreferences, "StoreMailLog"}.ValueOrZero() != 0;
    allMailLogMailBox = settings::Text{settings::kPreferences, "AllMailLogMailBox"}.Value();
}

ProcessSettings& ProcessSettings::Current() {
    static ProcessSettings current;
    return current;
}
