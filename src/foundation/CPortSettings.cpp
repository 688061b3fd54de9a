// CPortSettings: reads and writes the port settings page's values.
#include "foundation/CPortSettings.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "foundation/CRegistryKey.h"
#include "foundation/SettingsCatalogue.h"

namespace {

constexpr const char* kSmtpPort = "SMTP Port";
constexpr const char* kPop3Port = "POP3 Port";
constexpr const char* kWebServerPort = "WebServer Port";
constexpr const char* kGateway = "RemoteGateway Server";
constexpr const char* kRemotePort = "RemotePort";
constexpr const char* kUseSmart = "Use Smart SMTP";
constexpr const char* kUseAuthenticated = "UseAuthenticated";
constexpr const char* kSmtpUser = "SMTPUser";
constexpr const char* kSmtpPassword = "SMTPPassword";

bool ValidPort(std::uint32_t port) {
    return port >= 1 && port <= 65535;
}

// One value of the Ports key, number or text, in the order it is written.
struct Value {
    const char* name;
    std::optional<std::uint32_t> number;
    std::string text;
};

bool WriteValues(CRegistryKey& key, const std::vector<Value>& values) {
    for (const Value& value : values) {
        if (value.number)
            key.SetDWord(value.name, *value.number);
        else
            key.SetString(value.name, value.text);
        if (key.LastError() != ERROR_SUCCESS) return false;
    }
    return true;
}

// Writes values into the Ports key; when one is refused, the ones before
// are put back as they were (a half-written change would mix two setups).
bool WriteAll(const std::vector<Value>& values) {
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (!key.OpenProductKey()) return false;
    bool written = false;
    if (key.OpenSubKey(settings::kPorts)) {
        std::vector<Value> before;
        for (const Value& value : values) {
            Value old{value.name, std::nullopt, ""};
            if (value.number)
                old.number = key.GetDWord(value.name);
            else
                old.text = key.GetString(value.name);
            before.push_back(std::move(old));
        }
        written = WriteValues(key, values);
        if (!written) WriteValues(key, before);
        key.CloseSubKey();
    }
    key.CloseProductKey();
    return written;
}

}  // namespace

bool CPortSettings::Load() {
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (!key.OpenProductKey()) return false;
    const bool opened = key.OpenSubKey(settings::kPorts);
    if (opened) {
        smtpPort = key.GetDWord(kSmtpPort);
        pop3Port = key.GetDWord(kPop3Port);
        webServerPort = key.GetDWord(kWebServerPort);
        gateway = key.GetString(kGateway);
        gatewayPort = key.GetDWord(kRemotePort);
        smtpUser = key.GetString(kSmtpUser);
        smtpPassword = key.GetString(kSmtpPassword);
        const bool smart = key.GetDWord(kUseSmart) != 0;
        const bool authenticated = key.GetDWord(kUseAuthenticated) != 0;
        method = authenticated ? Method::Authenticated : smart ? Method::Smart : Method::Direct;
        key.CloseSubKey();
    }
    key.CloseProductKey();
    return opened;
}

std::string CPortSettings::Problem(bool dnsEntriesUsable) const {
    // A relay port of 0 is read as 25, so it is no fault; with smart delivery
    // its field is closed and must not block the save.
    if (!ValidPort(smtpPort) || !ValidPort(pop3Port) || !ValidPort(webServerPort) ||
        (gatewayPort != 0 && !ValidPort(gatewayPort)))
        return kBadPort;
    if (method != Method::Smart && gateway.empty()) return kNoGateway;
    if (method == Method::Smart && !dnsEntriesUsable) return kBadDns;
    // Authentication with nothing to authenticate with would fail at every pass.
    if (method == Method::Authenticated && smtpUser.empty()) return kNoSmtpUser;
    if (method == Method::Authenticated && smtpPassword.empty()) return kNoSmtpPassword;
    return "";
}

bool CPortSettings::Save() const {
    std::vector<Value> values = {{kSmtpPort, smtpPort, ""},
                                 {kPop3Port, pop3Port, ""},
                                 {kWebServerPort, webServerPort, ""},
                                 {kRemotePort, gatewayPort, ""}};
    // Exactly one method, each choice writing its pair in its own order.
    if (method == Method::Smart) {
        values.push_back({kUseAuthenticated, 0u, ""});
        values.push_back({kUseSmart, 1u, ""});
    } else if (method == Method::Authenticated) {
        values.push_back({kUseAuthenticated, 1u, ""});
        values.push_back({kUseSmart, 0u, ""});
    } else {
        values.push_back({kUseSmart, 0u, ""});
        values.push_back({kUseAuthenticated, 0u, ""});
    }
    return WriteAll(values);
}

std::string CPortSettings::SaveRelayHost(const std::string& host, std::uint32_t port) {
    if (host.empty()) return kNoRelayHost;
    if (host.size() > kMaxTextLength) return kTooLong;
    if (!ValidPort(port)) return kBadPort;
    return WriteAll({{kGateway, std::nullopt, host}, {kRemotePort, port, ""}}) ? "" : kNotWritten;
}

std::string CPortSettings::SaveAuthentication(const std::string& host, const std::string& user,
                                              const std::string& password) {
    if (host.empty()) return kNoSmtpServer;
    if (user.empty()) return kNoSmtpUser;
    if (password.empty()) return kNoSmtpPassword;
    if (host.size() > kMaxTextLength || user.size() > kMaxTextLength || password.size() > kMaxTextLength)
        return kTooLong;
    return WriteAll({{kGateway, std::nullopt, host},
                     {kSmtpUser, std::nullopt, user},
                     {kSmtpPassword, std::nullopt, password}})
               ? ""
               : kNotWritten;
}

std::vector<std::string> CPortSettings::DnsEntries() {
    std::vector<std::pair<long, std::string>> numbered;
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (key.OpenProductKey()) {
        if (key.OpenSubKey(settings::kDns)) {
            if (std::unique_ptr<std::map<std::string, std::string>> values = key.EnumValues())
                for (const auto& [name, value] : *values)
                    if (name.size() > 1 && name[0] == '#')
                        numbered.emplace_back(std::strtol(name.c_str() + 1, nullptr, 10), value);
            key.CloseSubKey();
        }
        key.CloseProductKey();
    }
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> entries;
    for (auto& [number, value] : numbered) entries.push_back(std::move(value));
    return entries;
}
