// CBase64Decoder: decodes base64 text (RFC 2045 alphabet). Characters outside
// the alphabet (line breaks, blanks) are skipped; malformed input decodes to
// fewer bytes and never fails. Used for SMTP AUTH server challenges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class CBase64Decoder {
public:
    CBase64Decoder();

    // Decodes length characters. The result has room for 3 bytes per four
    // input characters and is NUL-terminated after the decoded bytes; length
    // is set to the number of decoded bytes. Returns null (length 0) only when
    // the result cannot be allocated.
    std::unique_ptr<char[]> Decode(const char* text, std::size_t& length) const;
    // The same for text; the decoded bytes may include NULs.
    std::string Decode(std::string_view text) const;

private:
    static constexpr std::uint8_t kNotInAlphabet = 255;
    static constexpr std::uint8_t kPad = 64;
    std::uint8_t table[256];
};
