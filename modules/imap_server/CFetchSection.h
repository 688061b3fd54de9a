// CFetchSection: one BODY[...] / BODY.PEEK[...] / BINARY-free section of a
// FETCH (RFC 3501 6.4.5): the part path, the text specifier, the header
// field list and the partial range <origin.length>.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ModuleVisibility.h"

class MODULE_LOCAL CFetchSection {
public:
    enum class Text { All, Header, HeaderFields, HeaderFieldsNot, Text, Mime };

    std::vector<unsigned> part;  // "1.2" gives {1, 2}; empty: the whole message
    Text text = Text::All;
    std::vector<std::string> fields;  // HEADER.FIELDS (...) names, upper case
    bool partial = false;
    std::uint32_t origin = 0;
    std::uint32_t length = 0;

    // spec is the text between "[" and "]"; partialText the text between "<"
    // and ">" or empty when there was none. Nullopt for anything malformed
    // (the session answers BAD). Bounded: at most 32 part levels, 64 fields.
    static std::optional<CFetchSection> Parse(std::string_view spec, std::string_view partialText);

    // As the response names it: "BODY[1.HEADER.FIELDS (FROM TO)]<0>" (the
    // partial's length is not echoed, RFC 3501 7.4.2).
    std::string ResponseName() const;
};
