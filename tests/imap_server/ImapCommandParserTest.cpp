// The IMAP command grammar, folder names in modified UTF-7 and IMAP's dates:
// what clients send in practice and what a hostile client might.
#include <gtest/gtest.h>

#include "CImapCommandParser.h"
#include "CImapDate.h"
#include "CModifiedUtf7.h"

namespace {

TEST(ImapCommandParser, ArgumentsQuotingListsAndSections) {
    auto c = CImapCommandParser::Parse(
        "a1 uid fetch 1:* (FLAGS BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100>) \"q \\\"x\\\" \\\\\" NIL");
    ASSERT_TRUE(c.Ok()) << c.error;
    EXPECT_EQ(c.tag, "a1");
    EXPECT_EQ(c.name, "UID");
    ASSERT_EQ(c.arguments.size(), 5u);
    EXPECT_EQ(c.arguments[1].text, "1:*");
    ASSERT_TRUE(c.arguments[2].IsList());
    EXPECT_EQ(c.arguments[2].items[1].text, "BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100>");
    EXPECT_EQ(c.arguments[3].text, "q \"x\" \\");
    EXPECT_TRUE(c.arguments[4].IsNil());
    // Nested, empty lists and several spaces.
    c = CImapCommandParser::Parse("t SEARCH (OR (SEEN) ())  ALL");
    ASSERT_TRUE(c.Ok()) << c.error;
    EXPECT_EQ(c.arguments[0].items[2].items.size(), 0u);
    // Malformed: no tag, bad tag, unterminated quote, list or section, stray ), bad escape.
    for (const char* bad : {"", "NOOP", "a+ NOOP", "a ", "a LOGIN \"x", "a X (1 2", "a FETCH 1 BODY[TEXT",
                            "a X )", "a X \"\\n\"", "a X\tY", "a X \"a\rb\""})
        EXPECT_FALSE(CImapCommandParser::Parse(bad).Ok()) << bad;
    EXPECT_EQ(CImapCommandParser::TagOf("abc LOGIN"), "abc");
    EXPECT_EQ(CImapCommandParser::TagOf("(x"), "*");
}

TEST(ImapCommandParser, LiteralsNonSynchronizingNulAndBounds) {
    // A literal holds anything, CR LF and NUL included; {n+} is LITERAL+.
    const std::string text = std::string("a LOGIN {5}\r\nus\0\r\n {3+}\r\nabc", 28);
    auto c = CImapCommandParser::Parse(text);
    ASSERT_TRUE(c.Ok()) << c.error;
    ASSERT_EQ(c.arguments.size(), 2u);
    EXPECT_EQ(c.arguments[0].text, std::string("us\0\r\n", 5));
    EXPECT_TRUE(c.arguments[0].literal);
    EXPECT_EQ(c.arguments[1].text, "abc");
    // A literal shorter than announced, or without its CR LF, is malformed.
    EXPECT_FALSE(CImapCommandParser::Parse("a LOGIN {5}\r\nab").Ok());
    EXPECT_FALSE(CImapCommandParser::Parse("a LOGIN {5}ab").Ok());
    // NUL outside a literal.
    EXPECT_FALSE(CImapCommandParser::Parse(std::string("a LOGIN u\0 p", 12)).Ok());
    // Nesting and argument counts are bounded.
    EXPECT_FALSE(CImapCommandParser::Parse("a X " + std::string(40, '(') + std::string(40, ')')).Ok());
    EXPECT_TRUE(CImapCommandParser::Parse("a X " + std::string(10, '(') + std::string(10, ')')).Ok());
    std::string many = "a X";
    for (int i = 0; i < 5000; ++i) many += " 1";
    EXPECT_FALSE(CImapCommandParser::Parse(many).Ok());

    auto literal = CImapCommandParser::TrailingLiteral("a APPEND INBOX {310}");
    ASSERT_TRUE(literal);
    EXPECT_EQ(literal->size, 310u);
    EXPECT_FALSE(literal->nonSynchronizing);
    literal = CImapCommandParser::TrailingLiteral("a APPEND INBOX {99999999999+}");
    ASSERT_TRUE(literal);
    EXPECT_TRUE(literal->nonSynchronizing);
    for (const char* none : {"a NOOP", "a X {}", "a X {+}", "a X {1a}", "a X {123456789012}"})
        EXPECT_FALSE(CImapCommandParser::TrailingLiteral(none)) << none;
}

TEST(ImapCommandParser, SequenceSets) {
    const auto set = CImapCommandParser::SequenceSet("1,3:5,*,9:7,4:*");
    ASSERT_TRUE(set);
    using R = CImapCommandParser::Ranges;
    const std::uint32_t star = CImapCommandParser::kStar;
    EXPECT_EQ(*set, (R{{1, 1}, {3, 5}, {star, star}, {9, 7}, {4, star}}));
    EXPECT_TRUE(CImapCommandParser::SequenceSet("4294967295"));
    for (const char* bad : {"", "0", "1,", ",1", "1:", "1::2", "a", "4294967296", "01", "1 2"})
        EXPECT_FALSE(CImapCommandParser::SequenceSet(bad)) << bad;
}

TEST(ModifiedUtf7, RoundTripsAndRejects) {
    const std::pair<const char*, const char*> pairs[] = {
        {"Entw\xC3\xBC" "rfe", "Entw&APw-rfe"},
        {"A&B", "A&-B"},
        {"\xE5\x8F\xB0\xE5\x8C\x97", "&U,BTFw-"},
        {"\xF0\x9F\x98\x80 x", "&2D3eAA- x"},
        {"Work/2026", "Work/2026"}};
    for (const auto& [utf8, wire] : pairs) {
        EXPECT_EQ(CModifiedUtf7::Encode(utf8).value_or("?"), wire);
        EXPECT_EQ(CModifiedUtf7::Decode(wire).value_or("?"), utf8);
    }
    for (const char* bad : {"&", "&-x&", "&AGE-", "&U,BTFw", "&2D3-", "&3gA-", "a\x80", "&U,B-", "a\tb", "&Jjo!-"})
        EXPECT_FALSE(CModifiedUtf7::Decode(bad)) << bad;
    EXPECT_FALSE(CModifiedUtf7::Encode("bad \xC3"));
    EXPECT_FALSE(CModifiedUtf7::Encode("\xED\xA0\x80"));  // an encoded surrogate
}

TEST(ImapDate, FormatsAndParses) {
    EXPECT_EQ(CImapDate::FormatDateTime(0), "01-Jan-1970 00:00:00 +0000");
    EXPECT_EQ(CImapDate::ParseDateTime(" 1-Jan-1970 01:00:00 +0100").value_or(-1), 0);
    EXPECT_EQ(CImapDate::ParseDateTime("08-Dec-2026 09:30:00 -0030").value_or(-1), 1796722200 + 1800);
    EXPECT_EQ(CImapDate::ParseDay("2-jan-1970").value_or(-1), 1);
    EXPECT_EQ(CImapDate::DayOf(86399), 0);
    for (const char* bad : {"", "32-Jan-2020", "1-Foo-2020", "1-Jan-20", "1-Jan-2020 x"})
        EXPECT_FALSE(CImapDate::ParseDay(bad)) << bad;
    EXPECT_FALSE(CImapDate::ParseDateTime("08-Dec-2026 24:00:00 +0000"));
}

}  // namespace
