// Fuzz target: the FETCH section parser. Input: the text between the
// brackets, a line feed, then the text between "<" and ">".
//
// Besides memory safety it checks the limits (32 levels, 64 fields, no part
// 0, names upper-cased) and that a parsed section's response name parses
// back to the same section.
#include "CFetchSection.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string_view brackets = input.substr(0, cut);
    const std::string_view partial = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
    const auto section = CFetchSection::Parse(brackets, partial);
    if (!section) return 0;
    if (section->part.size() > 32 || section->fields.size() > 64) std::abort();
    for (unsigned number : section->part)
        if (number == 0) std::abort();
    for (const auto& field : section->fields)
        for (char c : field)
            if (c >= 'a' && c <= 'z') std::abort();
    if (section->partial && section->length == 0) std::abort();
    const std::string name = section->ResponseName();
    const std::size_t close = name.rfind(']');
    if (name.rfind("BODY[", 0) != 0 || close == std::string::npos) std::abort();
    const auto again = CFetchSection::Parse(std::string_view(name).substr(5, close - 5), partial);
    if (!again || again->part != section->part || again->text != section->text || again->fields != section->fields)
        std::abort();
    return 0;
}
