// CPortSettings: reads and writes the port settings page's values.
#include "foundation/CPortSettings.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

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

// Writes every value of settings into the open Ports key; false at the
// first one refused.
bool WriteAll(CRegistryKey& key, const CPortSettings& s) {
    const std::pair<const char*, std::uint32_t> numbers[] = {{kSmtpPort, s.smtpPort},
                                                             {kPop3Port, s.pop3Port},
                                                             {kWebServerPort, s.webServerPort},
                                                             {kRemotePort, s.gatewayPort}};
    for (const auto& [name, value] : numbers) {
        key.SetDWord(name, value);
        if (key.LastError() != ERROR_SUCCESS) return false;
    }
    const std::pair<const char*, const std::string*> texts[] = {
        {kGateway, &s.gateway}, {kSmtpUser, &s.smtpUser}, {kSmtpPassword, &s.smtpPassword}};
    for (const auto& [name, value] : texts) {
        key.SetString(name, *value);
        if (key.LastError() != ERROR_SUCCESS) return false;
    }
    // Exactly one method, in the order each choice writes its pair.
    const bool smart = s.method == CPortSettings::Method::Smart;
    const bool authenticated = s.method == CPortSettings::Method::Authenticated;
    if (smart) {
        key.SetDWord(kUseAuthenticated, 0);
        if (key.LastError() != ERROR_SUCCESS) return false;
        key.SetDWord(kUseSmart, 1);
    } else {
        key.SetDWord(kUseSmart, 0);
        if (key.LastError() != ERROR_SUCCESS) return false;
        key.SetDWord(kUseAuthenticated, authenticated ? 1 : 0);
    }
    return key.LastError() == ERROR_SUCCESS;
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
    if (!ValidPort(smtpPort) || !ValidPort(pop3Port) || !ValidPort(webServerPort) || !ValidPort(gatewayPort))
        return "Please Enter a Port Number from 1 to 65535";
    if (gateway.size() > kMaxGatewayLength) return "The Remote Gateway Server may have at most 255 characters";
    if (smtpUser.size() > kMaxCredentialLength || smtpPassword.size() > kMaxCredentialLength)
        return "The SMTP UserId and Password may have at most 255 characters each";
    if (method != Method::Smart && gateway.empty()) return kNoGateway;
    if (method == Method::Smart && !dnsEntriesUsable) return kBadDns;
    if (method == Method::Authenticated && smtpUser.empty()) return kNoSmtpUser;
    if (method == Method::Authenticated && smtpPassword.empty()) return kNoSmtpPassword;
    return "";
}

bool CPortSettings::Save() const {
    CPortSettings before;
    const bool hadKey = before.Load();
    CRegistryKey key(settings::kCompany, settings::kProduct, HKEY_LOCAL_MACHINE);
    if (!key.OpenProductKey()) return false;
    bool written = false;
    if (key.OpenSubKey(settings::kPorts)) {
        written = WriteAll(key, *this);
        // Best effort: a half-written change would mix two configurations.
        if (!written && hadKey) WriteAll(key, before);
        key.CloseSubKey();
    }
    key.CloseProductKey();
    return written;
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
