// FilterVerdict: the checked header lines and reply texts.
#include "filter/FilterVerdict.h"

bool FilterVerdict::AddHeader(std::string_view name, std::string_view value) {
    if (name.empty() || name.size() > 76) return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == ':') return false;
    }
    if (value.size() > 8192) return false;
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    headerLines.push_back(std::string(name) + ": " + std::string(value) + "\r\n");
    return true;
}

std::string FilterVerdict::HeaderBlock() const {
    std::string block;
    for (const std::string& line : headerLines) block += line;
    return block;
}

std::string FilterVerdict::CleanReplyText(std::string_view text, std::size_t maxLength) {
    std::string clean;
    for (char c : text) {
        if (clean.size() >= maxLength) break;
        const auto u = static_cast<unsigned char>(c);
        clean += u >= 0x20 && u < 0x7F ? c : '?';
    }
    return clean;
}
