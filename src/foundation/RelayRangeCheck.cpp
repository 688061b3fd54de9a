// RelayRangeCheck: blank, malformed and reversed ranges.
#include "foundation/RelayRangeCheck.h"

#include "foundation/CMailDatabase.h"
#include "foundation/CRelayRanges.h"

RelayRangeCheck::Outcome RelayRangeCheck::CheckAdd(const std::string& first, const std::string& last) {
    const auto blank = [](const std::string& address) {
        return CRelayRanges::IsDottedAddress(address) && CRelayRanges::AddressToHex(address) == "00000000";
    };
    if (blank(first) || blank(last)) return Outcome::Blank;
    if (!CRelayRanges::IsDottedAddress(first)) return Outcome::BadFirst;
    if (!CRelayRanges::IsDottedAddress(last)) return Outcome::BadLast;
    if (CRelayRanges::AddressToHex(first) > CRelayRanges::AddressToHex(last)) return Outcome::EndsBeforeStart;
    return Outcome::Ok;
}
