// CPortSettings: the port settings page's values under the Ports key: the
// ports of the SMTP, POP3 and web server modules, the relay host with its
// port and SMTP authentication, and the delivery method, which is written as
// exactly one of three pairs of Use Smart SMTP / UseAuthenticated. The page
// saves the ports and the method; the relay host dialog the host and its
// port; the authentication dialog the host and the credentials.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPortSettings {
public:
    enum class Method { Direct, Smart, Authenticated };

    static constexpr std::size_t kMaxTextLength = 255;
    static constexpr const char* kNoGateway =
        "Please Enter Remote Gateway Server if not using Smart Mail Delivery Option";
    static constexpr const char* kBadDns = "Please Verify All DNS Server's Entry if using Smart Mail Delivery Option";
    static constexpr const char* kSaved =
        "Changes in the Port Settings would take effect next time the server is started";
    static constexpr const char* kSavedTitle = "Port Settings";
    // The relay host dialog's refusal.
    static constexpr const char* kNoRelayHost = "Please Enter Remote Gateway Server";
    // The authentication dialog's refusals, each with its trailing blank.
    static constexpr const char* kNoSmtpServer = "Please Enter SMTP Server ";
    static constexpr const char* kNoSmtpUser = "Please Enter SMTP UserId ";
    static constexpr const char* kNoSmtpPassword = "Please Enter SMTP Password ";
    static constexpr const char* kBadPort = "Please Enter a Port Number from 1 to 65535";
    static constexpr const char* kTooLong = "A Server, UserId or Password may have at most 255 characters";
    static constexpr const char* kNotWritten = "The Port Settings could not be written to the settings file";

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
    // The page's first refusal, or empty when the ports and the method may
    // be saved. dnsEntriesUsable: every configured DNS server entry passed
    // its test (only asked with smart delivery).
    std::string Problem(bool dnsEntriesUsable) const;
    // Writes the three ports and RemotePort, then the method. False when a
    // value was refused; what was written is then put back as it was.
    bool Save() const;

    // The relay host dialog: the refusal, kNotWritten, or empty when stored.
    static std::string SaveRelayHost(const std::string& host, std::uint32_t port);
    // The authentication dialog: the refusal, kNotWritten, or empty when stored.
    static std::string SaveAuthentication(const std::string& host, const std::string& user,
                                          const std::string& password);

    // The configured DNS server entries ("#1", "#2", ... in number order).
    static std::vector<std::string> DnsEntries();
};
