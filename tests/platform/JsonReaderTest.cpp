// The bounded JSON reader: what it decodes, and where its bounds refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/JsonReader.h"

TEST(JsonReader, DecodesEscapesAndNumbersAndRefusesWhatIsNotOneValue) {
    const auto value =
        JsonReader::Parse(R"( {"s":"a\u0000\u00e9\ud83d\ude00\ud800x\/","n":[-0.5e+3,1e999,1e-999,0],"b":true} )");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Find("s")->text, std::string("a\0\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx/", 13));
    const auto& n = value->Find("n")->items;
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[0].number, -500.0);
    EXPECT_TRUE(std::isinf(n[1].number));
    EXPECT_EQ(n[2].number, 0.0);
    EXPECT_TRUE(value->Find("b")->boolean);
    EXPECT_EQ(value->Find("missing"), nullptr);
    for (const char* bad : {"", "01", "[1,]", "{\"a\":1}x", "\"\t\"", "\"\\x\"", "[1 2]", "{1:2}", "tru", "-", "1."})
        EXPECT_FALSE(JsonReader::Parse(bad).has_value()) << bad;
}

TEST(JsonReader, NestingIsBounded) {
    const std::size_t depth = JsonReader::kMaxDepth;
    EXPECT_TRUE(JsonReader::Parse(std::string(depth + 1, '[') + std::string(depth + 1, ']')).has_value());
    EXPECT_FALSE(JsonReader::Parse(std::string(depth + 2, '[') + std::string(depth + 2, ']')).has_value());
}
