// SettingsCheck: type, range and address checks of the start-up settings.
#include "foundation/SettingsCheck.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/IpLiteral.h"
#include "platform/RegistryValues.h"

namespace settings {

namespace {

// Longest text value a start-up reader takes (directories).
constexpr DWORD kMaxText = 260;

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_DWORD:
            return "a dword";
        case REG_SZ:
            return "a string";
        default:
            return "binary data";
    }
}

bool HasRange(const Setting& setting) {
    return setting.minimum != 0 || setting.maximum != 0xFFFFFFFFu;
}

std::string Expected(const Setting& setting) {
    if (setting.type == Type::String) {
        if (setting.form == Form::IpAddress) return "a string holding one IPv4 or IPv6 address, or empty";
        if (setting.form == Form::NameServer) return "a string holding one IPv4 or IPv6 address, optionally with a port";
        if (setting.form == Form::DomainName) return "a string holding a domain name such as example.org, or empty";
        return "a string";
    }
    if (HasRange(setting)) return StringPrintf("a dword from %u to %u", setting.minimum, setting.maximum);
    return "a dword";
}

}  // namespace

bool IsIpAddressText(const std::string& text) {
    sockaddr_storage address{};
    socklen_t length = 0;
    return ParseIpLiteral(text, address, length);
}

bool IsNameServerText(const std::string& text) {
    if (IsIpAddressText(text)) return true;
    // An address with a port: "[v6]:port" or "v4:port".
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon - 1 > 5) return false;
    const std::string portText = text.substr(colon + 1);
    if (portText.find_first_not_of("0123456789") != std::string::npos) return false;
    const long port = std::strtol(portText.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        return host.find(':') != std::string::npos && IsIpAddressText(host);
    }
    // A bare IPv6 address cannot carry a port: its colons would be ambiguous.
    return host.find_first_of(":[]") == std::string::npos && IsIpAddressText(host);
}

std::string CheckStartupSetting(const Setting& check) {
    const std::string label = std::string(check.key) + "\\" + check.name;
    const std::string keyPath = std::string(kProductKeyPath) + "\\" + check.key;
    if (registry::ProbeKey(keyPath) != ERROR_SUCCESS) return {};
    registry::StoredValue stored;
    LONG rc = registry::ReadStored(keyPath, check.name, stored, kMaxText);
    if (rc == ERROR_FILE_NOT_FOUND) return {};  // not stored: the default applies
    const DWORD type = stored.type;
    const DWORD size = rc == ERROR_MORE_DATA ? kMaxText + 1 : static_cast<DWORD>(stored.data.size());
    std::vector<BYTE> data(stored.data.begin(), stored.data.end());
    data.push_back(0);

    const DWORD wanted = check.type == Type::Dword ? REG_DWORD : REG_SZ;
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
        return "setting " + label + " cannot be read (error " + std::to_string(rc) + ")";
    if (type != wanted)
        return "setting " + label + " is stored as " + TypeName(type) + "; it must be " + Expected(check);
    if (size > kMaxText) return StringPrintf("setting %s is longer than %u bytes", label.c_str(), kMaxText);
    if (wanted == REG_DWORD) {
        DWORD value = 0;
        if (size != sizeof value) return "setting " + label + " is not a 4-byte dword";
        std::memcpy(&value, data.data(), sizeof value);
        if (value < check.minimum || value > check.maximum)
            return StringPrintf("setting %s is %u; it must be from %u to %u", label.c_str(), value, check.minimum,
                                check.maximum);
        return {};
    }
    const std::string text(reinterpret_cast<const char*>(data.data()),
                           ::strnlen(reinterpret_cast<const char*>(data.data()), size));
    if (check.form == Form::IpAddress && !text.empty() && !IsIpAddressText(text))
        return "setting " + label + " is \"" + text +
               "\", which is not an IPv4 or IPv6 address (empty listens on every address)";
    if (check.form == Form::NameServer && !IsNameServerText(text))
        return "setting " + label + " is \"" + text + "\"; it must be " + Expected(check);
    return {};
}

std::string CheckStartupSettings() {
    for (const Setting& check : kCatalogue) {
        if (!check.readAtStart) continue;
        std::string problem = CheckStartupSetting(check);
        if (!problem.empty()) return problem;
    }
    return {};
}

}  // namespace settings
