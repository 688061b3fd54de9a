// SettingsCheck: the start-up settings checked against the catalogue.
//
// Each setting of settings::kStartupSettings that is stored at all must have
// the catalogue's type and, where the table says so, lie in its range or be
// one literal address. A missing value is fine: its default applies.
#pragma once

#include <string>

namespace settings {

struct StartupSetting;

// "" when the value is missing or acceptable, else one sentence naming the
// setting, what is stored and what it must be.
std::string CheckStartupSetting(const StartupSetting& setting);
// The first problem among all start-up settings, or "".
std::string CheckStartupSettings();

}  // namespace settings
