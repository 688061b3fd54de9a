// SettingsCatalogue: look-up of one value in the catalogue, including the
// keys whose value names are numbered (DNS, Servers\#N).
#include "foundation/SettingsCatalogue.h"

#include "platform/Text.h"

namespace settings {

std::optional<KnownSetting> FindSetting(const std::string& key, const std::string& name) {
    const std::string foldedKey = FoldCase(key);
    const std::string foldedName = FoldCase(name);
    for (const Setting& s : kCatalogue)
        if (FoldCase(s.key) == foldedKey && FoldCase(s.name) == foldedName)
            return KnownSetting{s.type, s.readAtStart, s.minimum, s.maximum, s.form};
    // Name servers are asked afresh for every resolution.
    if (foldedKey == FoldCase(kDns) && foldedName.size() > 1 && foldedName[0] == '#' &&
        foldedName.find_first_not_of("0123456789", 1) == std::string::npos)
        return KnownSetting{Type::String, false, 0, 0, Form::NameServer};
    // Modules are loaded once, at start.
    const std::string servers = FoldCase(kServers) + "\\#";
    if (foldedKey.rfind(servers, 0) == 0 && foldedKey.size() > servers.size() &&
        foldedKey.find_first_not_of("0123456789", servers.size()) == std::string::npos) {
        if (foldedName == FoldCase(kServerActive)) return KnownSetting{Type::Dword, true, 0, 0xFFFFFFFFu, Form::Text};
        if (foldedName == FoldCase(kServerLocation) || foldedName == FoldCase(kServerName))
            return KnownSetting{Type::String, true, 0, 0, Form::Text};
    }
    return std::nullopt;
}

}  // namespace settings
