// MD5, HMAC-MD5 and the hexadecimal digest form. The MD5
// core follows the reference description of RFC 1321 step by step.
#include "message/Md5.h"

#include <cstring>

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int kShift[64] = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21,
};

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<std::uint32_t>(block[i * 4]) | (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int k;
        if (i < 16) {
            f = (b & c) | (~b & d);
            k = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
        }
        const std::uint32_t rotated = RotateLeft(a + f + kSine[i] + x[k], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5Init(Md5Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.bitCount = 0;
    std::memset(context.buffer, 0, sizeof context.buffer);
}

void Md5Update(Md5Context& context, const void* bytes, std::size_t length) {
    if (length == 0) return;
    const auto* in = static_cast<const unsigned char*>(bytes);
    std::size_t used = static_cast<std::size_t>((context.bitCount >> 3) & 63);
    context.bitCount += static_cast<std::uint64_t>(length) << 3;
    if (used > 0) {
        const std::size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(context.buffer + used, in, take);
        used += take;
        in += take;
        length -= take;
        if (used < 64) return;
        Transform(context.state, context.buffer);
    }
    for (; length >= 64; in += 64, length -= 64) Transform(context.state, in);
    if (length > 0) std::memcpy(context.buffer, in, length);
}

void Md5Final(unsigned char digest[kMd5DigestLength], Md5Context& context) {
    unsigned char lengthBytes[8];
    for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<unsigned char>(context.bitCount >> (8 * i));
    // Pad to 56 bytes mod 64: one 0x80 byte, then zeros, then the bit length.
    static constexpr unsigned char kPadding[64] = {0x80};
    const std::size_t used = static_cast<std::size_t>((context.bitCount >> 3) & 63);
    const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
    Md5Update(context, kPadding, padLength);
    Md5Update(context, lengthBytes, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<unsigned char>(context.state[i] >> (8 * j));
    // Leave no key-derived state behind (HMAC runs its key through here).
    volatile unsigned char* wipe = reinterpret_cast<volatile unsigned char*>(&context);
    for (std::size_t i = 0; i < sizeof context; ++i) wipe[i] = 0;
}

void HmacMd5(const void* text, std::size_t textLength, const void* key, std::size_t keyLength,
             unsigned char digest[kMd5DigestLength]) {
    unsigned char keyDigest[kMd5DigestLength];
    if (keyLength > 64) {
        Md5Context context;
        Md5Init(context);
        Md5Update(context, key, keyLength);
        Md5Final(keyDigest, context);
        key = keyDigest;
        keyLength = kMd5DigestLength;
    }
    unsigned char innerPad[64] = {};
    unsigned char outerPad[64] = {};
    if (keyLength > 0) {
        std::memcpy(innerPad, key, keyLength);
        std::memcpy(outerPad, key, keyLength);
    }
    for (int i = 0; i < 64; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5C;
    }

    Md5Context context;
    Md5Init(context);
    Md5Update(context, innerPad, 64);
    Md5Update(context, text, textLength);
    unsigned char inner[kMd5DigestLength];
    Md5Final(inner, context);

    Md5Init(context);
    Md5Update(context, outerPad, 64);
    Md5Update(context, inner, kMd5DigestLength);
    Md5Final(digest, context);
}

std::string DigestToHex(const unsigned char* digest, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}
