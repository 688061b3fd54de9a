// MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the hexadecimal digest form, as
// needed by SMTP AUTH CRAM-MD5 (RFC 2195). Written here rather than taken
// from a crypto library: CRAM-MD5 is the only user and needs nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kMd5DigestLength = 16;

struct Md5Context {
    std::uint32_t state[4];
    std::uint64_t bitCount;
    unsigned char buffer[64];
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const void* bytes, std::size_t length);
// Writes the digest and wipes the context.
void Md5Final(unsigned char digest[kMd5DigestLength], Md5Context& context);

// HMAC-MD5 with a 64-byte block; a key longer than 64 bytes is replaced by its MD5.
void HmacMd5(const void* text, std::size_t textLength, const void* key, std::size_t keyLength,
             unsigned char digest[kMd5DigestLength]);

// Each byte as "%02x", concatenated: 32 lower-case digits for a digest.
std::string DigestToHex(const unsigned char* digest, std::size_t length = kMd5DigestLength);
