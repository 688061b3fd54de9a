// PasswordScrambler: Scramble and Unscramble.
#include "foundation/PasswordScrambler.h"

#include <algorithm>

namespace {
constexpr char kKey[] = "TORVIKS";
constexpr std::size_t kKeyLength = 7;
constexpr std::string_view kHexMark = "x:";
constexpr char kHexDigits[] = "0123456789abcdef";

int SignedAt(std::string_view text, std::size_t i) {
    return i < text.size() ? static_cast<signed char>(text[i]) : 0;
}
}  // namespace

std::string PasswordScrambler::Scramble(std::string_view userName, std::string_view password) {
    const std::size_t n = std::max({kKeyLength, userName.size(), password.size()});
    std::string raw;
    raw.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        int s = (i < kKeyLength ? kKey[i] : 0) + SignedAt(userName, i) + SignedAt(password, i);
        int q = 0;
        while (s > 255) {
            s -= 255;
            ++q;
        }
        raw += static_cast<char>('0' + q);
        raw += static_cast<char>(s);
    }
    return raw;
}

std::string PasswordScrambler::ScrambleForColumn(std::string_view userName, std::string_view password) {
    std::string raw = Scramble(userName, password);
    if (std::all_of(raw.begin(), raw.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) return raw;
    std::string hex(kHexMark);
    for (unsigned char c : raw) {
        hex += kHexDigits[c >> 4];
        hex += kHexDigits[c & 0xF];
    }
    return hex;
}

std::string PasswordScrambler::Unscramble(std::string_view userName, std::string_view storedForm) {
    std::string decoded;
    std::string_view stored = storedForm;
    if (storedForm.substr(0, kHexMark.size()) == kHexMark) {
        auto nibble = [](char c) {
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : 0;
        };
        for (std::size_t i = kHexMark.size(); i + 1 < storedForm.size(); i += 2)
            decoded += static_cast<char>(nibble(storedForm[i]) << 4 | nibble(storedForm[i + 1]));
        stored = decoded;
    }
    std::string password;
    for (std::size_t i = 0; i < stored.size() / 2; ++i) {
        int b = (i < kKeyLength ? kKey[i] : 0) + SignedAt(userName, i);
        int q = stored[2 * i] - '0';
        int c = static_cast<signed char>(stored[2 * i + 1]);
        // Only the low byte matters: a stored character above 127 reads back
        // negative, and the carry makes up the difference modulo 256.
        const char v = static_cast<char>(q * 255 + c - b);
        if (v != 0) password += v;
    }
    return password;
}
