// ListingText: the listing values of stored mail.
#include "delivery/ListingText.h"

#include "platform/Text.h"

std::string ListingValue(const CMailHeader& header, std::string_view field, const char* whenEmpty) {
    std::string value(CMailHeader::TrimBlanks(header.GetField(field)));
    if (value.size() > 255) value = CutAtCharacter(std::move(value), 254);
    if (value.empty()) value = whenEmpty;
    return value;
}

std::string AddressOf(std::string_view value) {
    const std::size_t open = value.find('<');
    if (open != std::string_view::npos) {
        value.remove_prefix(open + 1);
        const std::size_t close = value.find('>');
        if (close != std::string_view::npos) value = value.substr(0, close);
    }
    return std::string(CMailHeader::TrimBlanks(value));
}
