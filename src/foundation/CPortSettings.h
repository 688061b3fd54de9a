// CPortSettings: the port settings page's values under the Ports key: the
// ports of the SMTP, POP3 and web server modules, the relay host with its
// port and SMTP authentication, and the delivery method, which is written as
// exactly one of three pairs of Use Smart SMTP / UseAuthenticated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPortSettings {
public:
    enum class Method { Direct, Smart, Authenticated };

    static constexpr std::size_t kMaxGatewayLength = 255;
    static constexpr std::size_t kMaxCredentialLength = 255;
    static constexpr const char* kNoGateway =
        "Please Enter Remote Gateway Server if not using Smart Mail Delivery Option";
    static constexpr const char* kBadDns = "Please Verify All DNS Server's Entry if using Smart Mail Delivery Option";
    static constexpr const char* kNoSmtpUser = "Please Enter SMTP UserId ";
    static constexpr const char* kNoSmtpPassword = "Please Enter SMTP Password ";
    static constexpr const char* kSaved =
        "Changes in the Port Settings would take effect next time the server is started";
    static constexpr const char* kSavedTitle = "Port Settings";

    std::uint32_t smtpPort = 25;
    std::uint32_t pop3Port = 110;
    std::uint32_t webServerPort = 80;
    std::string gateway;  // RemoteGateway Server
    std::uint32_t gatewayPort = 25;
    Method method = Method::Smart;
    std::string smtpUser;
    std::string smtpPassword;  // stored as typed; never logged

    // The values as stored; false (the defaults kept) when the Ports key
    // cannot be opened.
    bool Load();
    // The first refusal in the page's order, or empty when the values may be
    // saved. dnsEntriesUsable: every configured DNS server entry passed its
    // test (only asked with smart delivery).
    std::string Problem(bool dnsEntriesUsable) const;
    // Writes the ports, RemotePort, the gateway and credentials, then the
    // method. False when a value was refused; what was written is then put
    // back as it was.
    bool Save() const;

    // The configured DNS server entries ("#1", "#2", ... in number order).
    static std::vector<std::string> DnsEntries();
};
