// Base64, MD5, HMAC-MD5 and the hexadecimal digest form against the
// published vectors (RFC 4648, RFC 1321, RFC 2104, RFC 2202, RFC 2195).
#include "message/CBase64Decoder.h"
#include "message/CBase64Encoder.h"
#include "message/Md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Md5Hex(const std::string& text) {
    Md5Context context;
    Md5Init(context);
    Md5Update(context, text.data(), text.size());
    unsigned char digest[kMd5DigestLength];
    Md5Final(digest, context);
    return DigestToHex(digest);
}

std::string HmacHex(const std::string& text, const std::string& key) {
    unsigned char digest[kMd5DigestLength];
    HmacMd5(text.data(), text.size(), key.data(), key.size(), digest);
    return DigestToHex(digest);
}

TEST(Base64, EncodesTheStandardVectors) {
    const CBase64Encoder encoder;
    const std::vector<std::string> encoded = {
        "", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy", "VXNlcm5hbWU6", "UGFzc3dvcmQ6", "//4A"};
    const std::vector<std::string> plain = {
        "", "f", "fo", "foo", "foob", "fooba", "foobar", "Username:", "Password:", std::string("\xff\xfe\x00", 3)};
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(encoder.Encode(plain[i]), encoded[i]);
}

TEST(Base64, BufferFormRoundTripsAndTolerantDecoding) {
    const CBase64Encoder encoder;
    std::size_t length = 5;
    auto encoded = encoder.Encode("hello", length);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(length, 8u);
    EXPECT_STREQ(encoded.get(), "aGVsbG8=");

    const CBase64Decoder decoder;
    length = 8;
    auto decoded = decoder.Decode(encoded.get(), length);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(length, 5u);
    EXPECT_STREQ(decoded.get(), "hello");

    // Every length round-trips without line breaks.
    std::string input;
    for (int length = 0; length <= 300; ++length) {
        const std::string text = encoder.Encode(input);
        EXPECT_EQ(text.size(), (input.size() + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(decoder.Decode(text), input) << "length " << length;
        input += static_cast<char>(length * 7 + 3);
    }

    // Decoding skips foreign characters and stops tolerantly.
    EXPECT_EQ(decoder.Decode("Zm9v\r\nYmFy\r\n"), "foobar");
    EXPECT_EQ(decoder.Decode(" Zm 9v "), "foo");
    EXPECT_EQ(decoder.Decode("Zm9vYg"), "foo");  // trailing incomplete group ignored
    EXPECT_EQ(decoder.Decode("Zm9vY"), "foo");
    EXPECT_EQ(decoder.Decode("=m9vZm9v"), "foo");  // '=' first: that group gives nothing
    EXPECT_EQ(decoder.Decode("Z=9vZm9v"), "foo");
    EXPECT_EQ(decoder.Decode("Zg==Zm8="), "ffo");  // padding inside: decoding goes on
    EXPECT_EQ(decoder.Decode("Zg=A"), "f");
    EXPECT_EQ(decoder.Decode("!!!!"), "");
    EXPECT_EQ(decoder.Decode(""), "");
    // Foreign characters count towards the input length but not the groups,
    // so the input may end inside a group: what was decoded is kept.
    EXPECT_EQ(decoder.Decode("Zm9v\r\nYm"), "foo");
    EXPECT_EQ(decoder.Decode(std::string("AA\0A", 4)), "");
    length = 4;
    EXPECT_TRUE(decoder.Decode(nullptr, length));
    EXPECT_EQ(length, 0u);
}

TEST(Md5, Md5AndHmacMd5MatchThePublishedVectors) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex(letters), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZ" + letters + "0123456789"), "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string digits;
    for (int i = 0; i < 8; ++i) digits += "1234567890";
    EXPECT_EQ(Md5Hex(digits), "57edf4a22be3c955ac49da2e2107b67a");

    // Piecewise updates equal one update.
    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>(i * 13);
    const std::string whole = Md5Hex(text);
    for (std::size_t split = 0; split <= text.size(); ++split) {
        Md5Context context;
        Md5Init(context);
        Md5Update(context, text.data(), split);
        Md5Update(context, nullptr, 0);
        Md5Update(context, text.data() + split, text.size() - split);
        unsigned char digest[kMd5DigestLength];
        Md5Final(digest, context);
        ASSERT_EQ(DigestToHex(digest), whole) << "split " << split;
    }

    // HMAC-MD5 vectors of RFC 2104 and RFC 2202.
    EXPECT_EQ(HmacHex("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HmacHex("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HmacHex(std::string(50, '\xdd'), std::string(16, '\xaa')), "56be34521d144c88dbb8c733f0e8b3f6");
    // Keys longer than the 64-byte block are replaced by their digest.
    EXPECT_EQ(HmacHex("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(
        HmacHex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", std::string(80, '\xaa')),
        "6f630fad67cda0ee1fb1f562db3aa53e");
    EXPECT_EQ(HmacHex("", ""), "74e6f7298a9c2d168935f58c001bad88");

    // The CRAM-MD5 worked example of RFC 2195.
    const CBase64Decoder decoder;
    const CBase64Encoder encoder;
    const std::string challenge = decoder.Decode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    const std::string digest = HmacHex(challenge, "tanstaaftanstaaf");
    EXPECT_EQ(digest, "b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(encoder.Encode("tim " + digest), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

}  // namespace
