// RelayRangeCheck: a relay range's two addresses as the relay command and
// the relay ranges page both accept them; each words a refusal in its own way.
#pragma once

#include <string>

class RelayRangeCheck {
public:
    enum class Outcome {
        Ok,
        Blank,     // either address is 0.0.0.0 (CRelayRanges::kBlankEntries)
        BadFirst,  // not a dotted IPv4 address
        BadLast,
        EndsBeforeStart,
    };

    // The range to add, both ends in dotted form.
    static Outcome CheckAdd(const std::string& first, const std::string& last);
};
