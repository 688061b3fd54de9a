// JsonWriter: hostile strings come out as JSON that parses to the same text
// where the text was UTF-8, with U+FFFD for each byte that was not; the
// commas and colons of nested containers.
#include <gtest/gtest.h>

#include <string>

#include "platform/JsonWriter.h"

TEST(JsonWriterTest, QuoteEscapesWhatJsonForbidsAndReplacesMalformedUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
        {"a\nb\rc\td\be\ff", "\"a\\nb\\rc\\td\\be\\ff\""},
        {std::string("nul\0x\x01\x1f\x7f", 8), "\"nul\\u0000x\\u0001\\u001f\\u007f\""},
        // Well-formed sequences of two, three and four bytes pass unchanged.
        {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7", "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7\""},
        {"\x80", "\"" + fffd + "\""},                                   // stray continuation
        {"\xC0\xAF", "\"" + fffd + fffd + "\""},                        // overlong "/"
        {"\xE0\x80\xAF", "\"" + fffd + fffd + fffd + "\""},             // overlong three-byte
        {"\xED\xA0\x80", "\"" + fffd + fffd + fffd + "\""},             // a surrogate
        {"\xF4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},  // past U+10FFFF
        {"\xFF\xFE", "\"" + fffd + fffd + "\""},
        {"cut \xE2\x82", "\"cut " + fffd + fffd + "\""},                // sequence cut at the end
        {"\xE2\x82\"", "\"" + fffd + fffd + "\\\"\""},                  // cut by a quote, which stays escaped
    };
    for (const Case& c : cases) EXPECT_EQ(JsonWriter::Quote(c.in), c.out) << c.in;
}

TEST(JsonWriterTest, NestedContainersGetTheirSeparators) {
    JsonWriter json;
    json.BeginObject()
        .Key("running").Bool(true)
        .Key("pid").Number(-1)
        .Key("lines").BeginArray().String("a").String("b").BeginObject().EndObject().EndArray()
        .Key("empty").BeginArray().EndArray()
        .Key("error").Null()
        .Key("big").Unsigned(18446744073709551615ull)
        .Key("k\"ey").BeginObject().Key("x").Number(1).EndObject()
        .EndObject();
    EXPECT_EQ(json.Text(),
              "{\"running\":true,\"pid\":-1,\"lines\":[\"a\",\"b\",{}],\"empty\":[],\"error\":null,"
              "\"big\":18446744073709551615,\"k\\\"ey\":{\"x\":1}}");
}
