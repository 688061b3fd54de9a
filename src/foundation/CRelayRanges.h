// CRelayRanges: the client address ranges that may relay mail through the
// SMTP server (table RelayAllowed) and the switch that turns the check on
// (Preferences\IPBlocking). Addresses are stored as eight upper-case
// hexadecimal digits, so the text comparison of the relay check orders them
// numerically.
#pragma once

#include <sql.h>
#include <string>
#include <vector>

class CRelayRanges {
public:
    static constexpr const char* kBlankEntries = "Blank Entries Not Allowed";

    struct Range {
        std::string first;  // dotted form
        std::string last;
    };
    enum class AddResult { Added, Blank, Failed };

    explicit CRelayRanges(SQLHDBC connection) : connection(connection) {}

    // Every range ordered by its start; false (list emptied) on a failure.
    bool ListRelayRanges();
    // Blank when either address is "0.0.0.0" (kBlankEntries); the caller
    // checks that both are dotted IPv4 addresses.
    AddResult AddRelayRange(const std::string& first, const std::string& last);
    // Every range starting at first goes; removed (when given) counts them.
    bool DeleteRelayRange(const std::string& first, long* removed = nullptr);
    // Writes IPBlocking at once; false when the settings refused.
    static bool SetIpBlocking(bool on);
    // IPBlocking as set; off when it cannot be read.
    static bool IpBlocking();

    const std::vector<Range>& Ranges() const { return ranges; }

    // "C0A8010A" -> "192.168.1.10": each pair of hexadecimal digits one
    // octet; the text unchanged when it is not eight such digits.
    static std::string HexToAddress(const std::string& hex);
    // "192.168.1.10" -> "C0A8010A"; empty for an empty address.
    static std::string AddressToHex(const std::string& dotted);
    // Four decimal octets 0-255 separated by dots, nothing else.
    static bool IsDottedAddress(const std::string& text);

private:
    SQLHDBC connection;
    std::vector<Range> ranges;
};
