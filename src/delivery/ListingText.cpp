// ListingText: bounded head reads and the listing values of stored mail.
#include "delivery/ListingText.h"

#include "foundation/CMailContent.h"

std::vector<char> ReadHeadBytes(CMailContent& content) {
    std::vector<char> head(kDeliveryHeadSize);
    std::size_t got = 0;
    content.Rewind();
    while (got < head.size()) {
        const int n = content.Read(head.data() + got, static_cast<std::uint32_t>(head.size() - got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    content.Rewind();
    head.resize(got);
    return head;
}

CMailHeader ReadHeadOf(CMailContent& content) {
    const std::vector<char> head = ReadHeadBytes(content);
    CMailHeader header;
    if (!head.empty()) header.Parse(head.data(), head.size(), false);
    return header;
}

std::string CutAtCharacter(std::string text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    // Back off over continuation bytes (10xxxxxx) to the start of the
    // character that would be split; a run longer than a character is not
    // UTF-8 and is cut where it is.
    std::size_t back = end;
    while (back > 0 && end - back < 4 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
    if (end - back < 4) end = back;
    text.resize(end);
    return text;
}

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
