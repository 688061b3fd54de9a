// CPortSettings: reads and writes the port settings page's values.
#include "foundation/CPortSettings.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "foundation/SettingValue.h"
#include "platform/RegistryValues.h"

namespace {

constexpr settings::Dword kSmtpPort{settings::kPorts, "SMTP Port"};
constexpr settings::Dword kPop3Port{settings::kPorts, "POP3 Port"};
constexpr settings::Dword kWebServerPort{settings::kPorts, "WebServer Port"};
constexpr settings::Text kGateway{settings::kPorts, "RemoteGateway Server"};
constexpr settings::Dword kRemotePort{settings::kPorts, "RemotePort"};
constexpr settings::Dword kUseSmart{settings::kPorts, "Use Smart SMTP"};
constexpr settings::Dword kUseAuthenticated{settings::kPorts, "UseAuthenticated"};
constexpr settings::Text kSmtpUser{settings::kPorts, "SMTPUser"};
constexpr settings::Text kSmtpPassword{settings::kPorts, "SMTPPassword"};

bool ValidPort(std::uint32_t port) {
    return kSmtpPort.InRange(port);
}

// One value of the Ports key, number or text, in the order it is written.
struct Value {
    const settings::Setting* entry;
    std::optional<std::uint32_t> number;
    std::string text;
};

bool WriteValues(const std::vector<Value>& values) {
    for (const Value& value : values) {
        const bool written = value.number ? settings::WriteDword(*value.entry, *value.number, false)
                                          : settings::WriteText(*value.entry, value.text, false);
        if (!written) return false;
    }
    return true;
}

// Writes values into the Ports key; when one is refused, the ones before
// are put back as they were (a half-written change would mix two setups).
bool WriteAll(const std::vector<Value>& values) {
    if (!kSmtpPort.KeyOpens()) return false;
    std::vector<Value> before;
    for (const Value& value : values) {
        Value old{value.entry, std::nullopt, ""};
        // A value missing from the key reads 0 or empty, as Load reads it.
        if (value.number)
            old.number = settings::StoredDword(*value.entry).value_or(0);
        else
            old.text = settings::StoredText(*value.entry, settings::kMaxTextBytes).value_or("");
        before.push_back(std::move(old));
    }
    const bool written = WriteValues(values);
    if (!written) WriteValues(before);
    return written;
}

}  // namespace

bool CPortSettings::Load() {
    if (!kSmtpPort.KeyOpens()) return false;
    smtpPort = kSmtpPort.ValueOrZero();
    pop3Port = kPop3Port.ValueOrZero();
    webServerPort = kWebServerPort.ValueOrZero();
    gateway = kGateway.Stored().value_or("");
    gatewayPort = kRemotePort.ValueOrZero();
    smtpUser = kSmtpUser.Stored().value_or("");
    smtpPassword = kSmtpPassword.Stored().value_or("");
    const bool smart = kUseSmart.ValueOrZero() != 0;
    const bool authenticated = kUseAuthenticated.ValueOrZero() != 0;
    method = authenticated ? Method::Authenticated : smart ? Method::Smart : Method::Direct;
    return true;
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
    std::vector<Value> values = {{&kSmtpPort.Entry(), smtpPort, ""},
                                 {&kPop3Port.Entry(), pop3Port, ""},
                                 {&kWebServerPort.Entry(), webServerPort, ""},
                                 {&kRemotePort.Entry(), gatewayPort, ""}};
    // Exactly one method, each choice writing its pair in its own order.
    if (method == Method::Smart) {
        values.push_back({&kUseAuthenticated.Entry(), 0u, ""});
        values.push_back({&kUseSmart.Entry(), 1u, ""});
    } else if (method == Method::Authenticated) {
        values.push_back({&kUseAuthenticated.Entry(), 1u, ""});
        values.push_back({&kUseSmart.Entry(), 0u, ""});
    } else {
        values.push_back({&kUseSmart.Entry(), 0u, ""});
        values.push_back({&kUseAuthenticated.Entry(), 0u, ""});
    }
    return WriteAll(values);
}

std::string CPortSettings::SaveRelayHost(const std::string& host, std::uint32_t port) {
    if (host.empty()) return kNoRelayHost;
    if (host.size() > kMaxTextLength) return kTooLong;
    if (!ValidPort(port)) return kBadPort;
    return WriteAll({{&kGateway.Entry(), std::nullopt, host}, {&kRemotePort.Entry(), port, ""}}) ? "" : kNotWritten;
}

std::string CPortSettings::SaveAuthentication(const std::string& host, const std::string& user,
                                              const std::string& password) {
    if (host.empty()) return kNoSmtpServer;
    if (user.empty()) return kNoSmtpUser;
    if (password.empty()) return kNoSmtpPassword;
    if (host.size() > kMaxTextLength || user.size() > kMaxTextLength || password.size() > kMaxTextLength)
        return kTooLong;
    return WriteAll({{&kGateway.Entry(), std::nullopt, host},
                     {&kSmtpUser.Entry(), std::nullopt, user},
                     {&kSmtpPassword.Entry(), std::nullopt, password}})
               ? ""
               : kNotWritten;
}

std::vector<std::string> CPortSettings::DnsEntries() {
    std::vector<std::pair<long, std::string>> numbered;
    std::vector<registry::StoredValue> values;
    registry::ListValues(settings::kDnsKeyPath, values, 99, 399);
    for (const registry::StoredValue& value : values)
        if (value.name.size() > 1 && value.name[0] == '#')
            numbered.emplace_back(std::strtol(value.name.c_str() + 1, nullptr, 10),
                                  value.data.substr(0, ::strnlen(value.data.c_str(), value.data.size())));
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> entries;
    for (auto& [number, value] : numbered) entries.push_back(std::move(value));
    return entries;
}
