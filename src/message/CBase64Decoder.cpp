// CBase64Decoder.
#include "message/CBase64Decoder.h"

#include <new>

CBase64Decoder::CBase64Decoder() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (auto& entry : table) entry = kNotInAlphabet;
    for (std::uint8_t i = 0; i < 65; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
}

std::unique_ptr<char[]> CBase64Decoder::Decode(const char* text, std::size_t& length) const {
    const std::size_t inputLength = text ? length : 0;
    length = 0;
    // Every group takes at least four input characters, so this many groups
    // at most, three bytes each.
    const std::size_t groups = inputLength / 4;
    std::unique_ptr<char[]> output(new (std::nothrow) char[groups * 3 + 1]);
    if (!output) return nullptr;
    char* out = output.get();
    std::size_t pos = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        std::uint8_t values[4];
        int have = 0;
        while (have < 4 && pos < inputLength) {
            const std::uint8_t v = table[static_cast<unsigned char>(text[pos++])];
            if (v != kNotInAlphabet) values[have++] = v;
        }
        if (have < 4) break;                                   // the input ended inside a group
        if (values[0] == kPad || values[1] == kPad) continue;  // nothing can be decoded from this group
        *out++ = static_cast<char>((values[0] << 2) | (values[1] >> 4));
        if (values[2] == kPad) continue;
        *out++ = static_cast<char>(((values[1] & 0x0F) << 4) | (values[2] >> 2));
        if (values[3] == kPad) continue;
        *out++ = static_cast<char>(((values[2] & 0x03) << 6) | values[3]);
    }
    *out = '\0';
    length = static_cast<std::size_t>(out - output.get());
    return output;
}

std::string CBase64Decoder::Decode(std::string_view text) const {
    std::size_t length = text.size();
    std::unique_ptr<char[]> decoded = Decode(text.data(), length);
    return decoded ? std::string(decoded.get(), length) : std::string();
}
