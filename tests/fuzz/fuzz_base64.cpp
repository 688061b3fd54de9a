// Fuzz target: base64 round trips and decoding of arbitrary text, plus MD5
// fed in two pieces against MD5 fed at once.
#include "message/CBase64Decoder.h"
#include "message/CBase64Encoder.h"
#include "message/Md5.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CBase64Encoder encoder;
    static const CBase64Decoder decoder;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::string encoded = encoder.Encode(input);
    if (encoded.size() != (size + 2) / 3 * 4 || decoder.Decode(encoded) != input) std::abort();

    std::size_t length = size;
    auto decoded = decoder.Decode(reinterpret_cast<const char*>(data), length);
    if (!decoded || length > size / 4 * 3 || decoded[length] != '\0') std::abort();

    unsigned char whole[kMd5DigestLength];
    unsigned char pieces[kMd5DigestLength];
    Md5Context context;
    Md5Init(context);
    Md5Update(context, data, size);
    Md5Final(whole, context);
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    Md5Init(context);
    Md5Update(context, data, split);
    Md5Update(context, data + split, size - split);
    Md5Final(pieces, context);
    if (DigestToHex(whole) != DigestToHex(pieces)) std::abort();

    unsigned char mac[kMd5DigestLength];
    HmacMd5(data + split, size - split, data, split, mac);
    return 0;
}
