// CBase64Encoder: base64 with the RFC 2045 alphabet and "=" padding, no line
// breaks. Used for SMTP AUTH LOGIN and CRAM-MD5 answers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CBase64Encoder {
public:
    // Encodes length bytes. The result holds 4 * ceil(length / 3) characters
    // and a terminating NUL; length is set to the character count. Returns
    // null (length 0) only when the result cannot be allocated.
    std::unique_ptr<char[]> Encode(const void* bytes, std::size_t& length) const;
    // The same for text; "" when the result cannot be allocated.
    std::string Encode(std::string_view bytes) const;
};
