// SettingsCheck: the start-up settings checked against the catalogue.
//
// Each catalogue setting read at start that is stored at all must have the
// catalogue's type, lie in its range and, where its form says so, be one
// literal address: a wrong value stops the start with a sentence naming it
// instead of a default taking its place unnoticed. A missing value is fine:
// its default applies.
#pragma once

#include <string>

namespace settings {

struct Setting;

// "" when the value is missing or acceptable, else one sentence naming the
// setting, what is stored and what it must be.
std::string CheckStartupSetting(const Setting& setting);
// Whether a text is one literal IPv4 or IPv6 address.
bool IsIpAddressText(const std::string& text);
// Whether a text names one name server by literal address: "addr",
// "IPv4-addr:port" or "[IPv6-addr]:port", the port from 1 to 65535.
bool IsNameServerText(const std::string& text);
// The first problem among all start-up settings, or "".
std::string CheckStartupSettings();

}  // namespace settings
