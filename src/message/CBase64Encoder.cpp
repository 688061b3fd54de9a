// CBase64Encoder. Writes the two diagnostic lines around
// every encoding, which is how authentication problems are traced.
#include "message/CBase64Encoder.h"

#include "foundation/CModuleLog.h"

#include <cstdint>
#include <new>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::unique_ptr<char[]> CBase64Encoder::Encode(const void* bytes, std::size_t& length) const {
    g_moduleLog.WriteVerbose("************enter in encode***************");
    const std::size_t inputLength = length;
    length = 0;
    // Guard 4 * ceil(n / 3) + 1 against overflow.
    if (inputLength / 3 >= (SIZE_MAX - 1) / 4 - 1) {
        g_moduleLog.WriteVerbose("************ return from encode ***************");
        return nullptr;
    }
    const std::size_t outputLength = (inputLength + 2) / 3 * 4;
    std::unique_ptr<char[]> output(new (std::nothrow) char[outputLength + 1]);
    if (!output) {
        g_moduleLog.WriteVerbose("************ return from encode ***************");
        return nullptr;
    }
    const auto* in = static_cast<const unsigned char*>(bytes);
    char* out = output.get();
    std::size_t i = 0;
    for (; i + 3 <= inputLength; i += 3) {
        const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *out++ = kAlphabet[(group >> 18) & 0x3F];
        *out++ = kAlphabet[(group >> 12) & 0x3F];
        *out++ = kAlphabet[(group >> 6) & 0x3F];
        *out++ = kAlphabet[group & 0x3F];
    }
    const std::size_t left = inputLength - i;
    if (left > 0) {
        std::uint32_t group = in[i] << 16;
        if (left == 2) group |= in[i + 1] << 8;
        *out++ = kAlphabet[(group >> 18) & 0x3F];
        *out++ = kAlphabet[(group >> 12) & 0x3F];
        *out++ = left == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        *out++ = '=';
    }
    *out = '\0';
    length = outputLength;
    g_moduleLog.WriteVerbose("************ return from encode ***************");
    return output;
}

std::string CBase64Encoder::Encode(std::string_view bytes) const {
    std::size_t length = bytes.size();
    std::unique_ptr<char[]> encoded = Encode(bytes.data(), length);
    return encoded ? std::string(encoded.get(), length) : std::string();
}
