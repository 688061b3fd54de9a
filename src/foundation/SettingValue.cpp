// SettingValue: catalogue entries read and written through the platform.
#include "foundation/SettingValue.h"

#include "platform/RegistryValues.h"

namespace settings {

void NoSuchSettingInCatalogue() {}

std::string KeyPath(const Setting& entry) {
    return std::string(kProductKeyPath) + "\\" + entry.key;
}

bool KeyOpens(const Setting& entry) {
    return registry::ProbeKey(KeyPath(entry)) == ERROR_SUCCESS;
}

std::optional<std::uint32_t> StoredDword(const Setting& entry, bool* missingValue) {
    DWORD value = 0;
    const registry::Found found = registry::ReadDword(KeyPath(entry), entry.name, value);
    if (missingValue) *missingValue = found == registry::Found::NoValue;
    if (found != registry::Found::Value) return std::nullopt;
    return value;
}

std::optional<std::string> StoredText(const Setting& entry, std::size_t maxBytes) {
    std::string text;
    if (registry::ReadText(KeyPath(entry), entry.name, text, maxBytes) != registry::Found::Value) return std::nullopt;
    return text;
}

bool WriteDword(const Setting& entry, std::uint32_t value, bool createKey) {
    return registry::WriteDword(KeyPath(entry), entry.name, value, createKey) == ERROR_SUCCESS;
}

bool WriteText(const Setting& entry, const std::string& text, bool createKey) {
    return registry::WriteText(KeyPath(entry), entry.name, text, createKey) == ERROR_SUCCESS;
}

}  // namespace settings
