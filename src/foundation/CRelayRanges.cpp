// CRelayRanges: rows of table RelayAllowed and the IPBlocking switch.
#include "foundation/CRelayRanges.h"

#include <cctype>
#include <cstdlib>

#include "foundation/CMailDatabase.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingValue.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"

namespace {

constexpr const char* kBlankAddress = "0.0.0.0";
constexpr settings::Dword kIpBlocking{settings::kPreferences, "IPBlocking"};

}  // namespace

bool CRelayRanges::ListRelayRanges() {
    ranges.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect("SELECT FirstIp,LastIp FROM RelayAllowed order by FirstIp")) return false;
    while (statement.Fetch()) {
        std::string first, last;
        statement.GetText(1, first);
        statement.GetText(2, last);
        ranges.push_back({HexToAddress(first), HexToAddress(last)});
    }
    return true;
}

CRelayRanges::AddResult CRelayRanges::AddRelayRange(const std::string& first, const std::string& last) {
    if (first == kBlankAddress || last == kBlankAddress) return AddResult::Blank;
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("INSERT INTO RelayAllowed VALUES('%s','%s')",
                                        SqlText::Quote(CRelayRanges::AddressToHex(first)),
                                        SqlText::Quote(CRelayRanges::AddressToHex(last)))))
        return AddResult::Failed;
    ranges.push_back({first, last});
    return AddResult::Added;
}

bool CRelayRanges::DeleteRelayRange(const std::string& first, long* removed) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("Delete from RelayAllowed where FirstIp = '%s'",
                                        SqlText::Quote(CRelayRanges::AddressToHex(first)))))
        return false;
    if (removed) *removed = static_cast<long>(statement.RowCount());
    std::erase_if(ranges, [&](const Range& r) { return r.first == first; });
    return true;
}

bool CRelayRanges::SetIpBlocking(bool on) {
    return kIpBlocking.Write(on ? 1 : 0);
}

bool CRelayRanges::IpBlocking() {
    return kIpBlocking.ValueOrZero() != 0;
}

std::string CRelayRanges::HexToAddress(const std::string& hex) {
    if (hex.size() != 8) return hex;
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return hex;
    std::string dotted;
    for (std::size_t i = 0; i < 8; i += 2) {
        const unsigned long octet = std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16);
        dotted += StringPrintf(i == 0 ? "%lu" : ".%lu", octet);
    }
    return dotted;
}

bool CRelayRanges::IsDottedAddress(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (i == text.size()) break;
        if (text[i] != '.' || parts == 4) return false;
        ++i;
    }
    return parts == 4;
}

std::string CRelayRanges::AddressToHex(const std::string& dotted) {
    std::size_t b = dotted.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = dotted.find_last_not_of(" \t");
    const std::string address = dotted.substr(b, e - b + 1);
    std::string hex;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = address.find('.', start);
        std::string part = address.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        hex += StringPrintf("%02X", static_cast<unsigned>(std::atoi(part.c_str())));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return hex;
}
