// CModifiedUtf7: modified UTF-7 both ways (see the header).
#include "CModifiedUtf7.h"

#include <cstdint>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int ValueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == ',') return 63;
    return -1;
}

// The next code point of UTF-8 text, or -1 for an invalid sequence.
long NextCodePoint(std::string_view text, std::size_t& pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos++]);
    if (c < 0x80) return c;
    int extra = c >= 0xf0 && c < 0xf5 ? 3 : c >= 0xe0 ? 2 : c >= 0xc2 && c < 0xe0 ? 1 : -1;
    if (extra < 0 || c >= 0xf5) return -1;
    long cp = c & (0x3f >> extra);
    for (int i = 0; i < extra; ++i) {
        if (pos >= text.size()) return -1;
        const unsigned char d = static_cast<unsigned char>(text[pos++]);
        if ((d & 0xc0) != 0x80) return -1;
        cp = (cp << 6) | (d & 0x3f);
    }
    static constexpr long kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
    return cp;
}

void AppendUtf8(std::string& out, long cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
}

void FlushShifted(std::string& out, std::vector<std::uint16_t>& units) {
    if (units.empty()) return;
    out.push_back('&');
    std::uint32_t bits = 0;
    int count = 0;
    for (std::uint16_t unit : units) {
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out.push_back(kAlphabet[(bits >> count) & 0x3f]);
        }
    }
    if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 0x3f]);
    out.push_back('-');
    units.clear();
}

}  // namespace

std::optional<std::string> CModifiedUtf7::Encode(std::string_view utf8) {
    std::string out;
    std::vector<std::uint16_t> units;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const long cp = NextCodePoint(utf8, pos);
        if (cp < 0) return std::nullopt;
        if (cp >= 0x20 && cp <= 0x7e) {
            FlushShifted(out, units);
            if (cp == '&')
                out += "&-";
            else
                out.push_back(static_cast<char>(cp));
        } else if (cp < 0x20 || cp == 0x7f) {
            return std::nullopt;
        } else if (cp < 0x10000) {
            units.push_back(static_cast<std::uint16_t>(cp));
        } else {
            const long v = cp - 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xd800 + (v >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xdc00 + (v & 0x3ff)));
        }
    }
    FlushShifted(out, units);
    return out;
}

std::optional<std::string> CModifiedUtf7::Decode(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos++];
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return std::nullopt;
        if (c != '&') {
            out.push_back(c);
            continue;
        }
        if (pos < text.size() && text[pos] == '-') {
            out.push_back('&');
            ++pos;
            continue;
        }
        std::uint32_t bits = 0;
        int count = 0;
        std::uint16_t high = 0;
        bool any = false;
        while (true) {
            if (pos >= text.size()) return std::nullopt;
            const char d = text[pos++];
            if (d == '-') break;
            const int v = ValueOf(d);
            if (v < 0) return std::nullopt;
            bits = (bits << 6) | static_cast<std::uint32_t>(v);
            count += 6;
            if (count < 16) continue;
            count -= 16;
            const std::uint16_t unit = static_cast<std::uint16_t>(bits >> count);
            bits &= (1u << count) - 1;
            any = true;
            if (high) {
                if (unit < 0xdc00 || unit > 0xdfff) return std::nullopt;
                AppendUtf8(out, 0x10000 + ((static_cast<long>(high) - 0xd800) << 10) + (unit - 0xdc00));
                high = 0;
            } else if (unit >= 0xd800 && unit <= 0xdbff) {
                high = unit;
            } else if ((unit >= 0xdc00 && unit <= 0xdfff) || (unit >= 0x20 && unit <= 0x7e)) {
                return std::nullopt;  // a lone low surrogate, or ASCII that needed no shifting
            } else {
                AppendUtf8(out, unit);
            }
        }
        // Leftover bits must be zero padding shorter than a sextet pair.
        if (!any || high || count >= 6 || bits != 0) return std::nullopt;
    }
    return out;
}
