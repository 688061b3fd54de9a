// CMailHeader: parsing with and without case folding, joined and folded
// fields, the parse result for whole and cut blocks, look-ups, rewriting
// and formatting, and bounded handling of hostile headers.
#include "message/CMailHeader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int ParseText(CMailHeader& header, const std::string& text, bool caseSensitive = false) {
    return header.Parse(text.data(), text.size(), caseSensitive);
}

TEST(MailHeaderParse, StopsAtTheBlankLineFoldsNamesAndJoinsRepeats) {
    CMailHeader header;
    EXPECT_EQ(ParseText(header, "From: a@x\r\nTo: b@y\r\n\r\nNote: this is body\r\n"), -1);
    EXPECT_EQ(header.FieldCount(), 2u);
    EXPECT_EQ(header.GetField("from"), "a@x");
    EXPECT_EQ(header.GetField("TO"), "b@y");
    EXPECT_EQ(header.GetField("Note"), "");
    EXPECT_EQ(header.Format(), "FROM: a@x\r\nTO: b@y\r\n\r\n");

    // Folded lines run together and repeats are joined.
    CMailHeader folded;
    ParseText(folded,
              "Received: from a by b\r\n"
              "Subject: first part\r\n"
              "\tsecond part\r\n"
              "Received: from c\r\n"
              "  by d\r\n"
              "\r\n");
    EXPECT_EQ(folded.GetField("Subject"), "first partsecond part");
    EXPECT_EQ(folded.GetField("Received"), "from a by b\r\n\tfrom cby d");
    // One field, in the message's own order, its repeat as a TAB continuation.
    EXPECT_EQ(folded.Format(),
              "RECEIVED: from a by b\r\n\tfrom cby d\r\n"
              "SUBJECT: first partsecond part\r\n\r\n");
}

TEST(MailHeaderParse, CaseSensitiveModeKeepsNamesAndValuesAreTrimmed) {
    CMailHeader header;
    ParseText(header, "Message-Id: <1@x>\r\nX-TAG: t\r\n\r\n", true);
    EXPECT_EQ(header.GetField("Message-Id", true), "<1@x>");
    EXPECT_EQ(header.GetField("message-id"), "");  // folded look-up finds upper-case names only
    EXPECT_EQ(header.GetField("x-tag"), "t");
    // The constructor parses with folding.
    const std::string text = "message-id: <a@b>\r\n\r\n";
    CMailHeader constructed(text.data(), text.size());
    EXPECT_EQ(constructed.GetField("Message-ID"), "<a@b>");
    EXPECT_EQ(constructed.GetField("MESSAGE-ID", true), "<a@b>");

    // Values are trimmed and end at the first carriage return.
    CMailHeader trimmed;
    ParseText(trimmed, "Subject \t:   hello  \r\nEmpty:\r\nBlank:   \t \r\nOdd: a\rb\r\n c\rd\r\n\r\n");
    EXPECT_EQ(trimmed.GetField("Subject"), "hello");
    EXPECT_EQ(trimmed.GetField("Empty"), "");
    EXPECT_EQ(trimmed.GetField("Blank"), "");
    EXPECT_EQ(trimmed.GetField("Odd"), "ac");  // a continuation ends at its CR too

    // The result for cut and unterminated blocks.
    {
        // A block cut inside a line: the cut line is not a field, its bytes are counted.
        CMailHeader header;
        EXPECT_EQ(ParseText(header, "From: a\r\nTo: b\r\nSubj"), 4);
        EXPECT_EQ(header.FieldCount(), 2u);
        EXPECT_EQ(header.GetField("Subj"), "");
    }
    {
        CMailHeader header;
        EXPECT_EQ(ParseText(header, "From: a\r\n"), 0);
        EXPECT_EQ(ParseText(header, "From: b\r\n"), 0);  // a later parse joins with what is held
        EXPECT_EQ(header.GetField("From"), "a\r\n\tb");
        EXPECT_EQ(ParseText(header, " continued\r\n"), 0);  // attaches across calls
        EXPECT_EQ(header.GetField("From"), "a\r\n\tbcontinued");
    }
    {
        CMailHeader header;
        EXPECT_EQ(ParseText(header, "no line end at all"), -1);
        EXPECT_EQ(header.Parse(nullptr, 0, false), -1);
        EXPECT_TRUE(header.IsEmpty());
    }
}

TEST(MailHeaderParse, MalformedLinesAndHostileSizesKeepEarlierFields) {
    CMailHeader header;
    EXPECT_EQ(ParseText(header, "A: 1\r\nnot a field\r\nB: 2\r\n\r\n"), -1);
    EXPECT_EQ(header.GetField("A"), "1");
    EXPECT_EQ(header.GetField("B"), "");

    // A continuation before any field is ignored; a nameless field is skipped
    // and its continuation with it.
    CMailHeader other;
    EXPECT_EQ(ParseText(other, " stray\r\n: nameless\r\n more\r\nC: 3\r\n"), 0);
    EXPECT_EQ(other.FieldCount(), 1u);
    EXPECT_EQ(other.GetField("C"), "3");

    // So does a NUL byte.
    CMailHeader nul;
    EXPECT_EQ(ParseText(nul, std::string("A: 1\r\nB: 2\0\r\nC: 3\r\n", 19)), -1);
    EXPECT_EQ(nul.GetField("A") + nul.GetField("B") + nul.GetField("C"), "1");

    // Hostile sizes stay bounded.
    // A 10 MB line is dropped whole; the fields around it survive.
    std::string text = "A: 1\r\nHuge: " + std::string(10 * 1024 * 1024, 'x') + "\r\nB: 2\r\n\r\n";
    CMailHeader huge;
    EXPECT_EQ(ParseText(huge, text), -1);
    EXPECT_EQ(huge.GetField("A"), "1");
    EXPECT_EQ(huge.GetField("Huge"), "");
    EXPECT_EQ(huge.GetField("B"), "2");

    // Endless repeats and continuations stop growing at the cap.
    std::string repeats;
    for (int i = 0; i < 200000; ++i)
        repeats += "Received: from somewhere.example by here.example\r\n continued line\r\n";
    CMailHeader many;
    EXPECT_EQ(ParseText(many, repeats), 0);
    EXPECT_LE(many.GetField("Received").size(), CMailHeader::kMaxHeldBytes);
    EXPECT_GT(many.GetField("Received").size(), CMailHeader::kMaxHeldBytes / 2);

    // Parameters, SetField and TrimBlanks.
    CMailHeader fields;
    ParseText(fields, "Content-Type: multipart/mixed; boundary=\"b\"\r\nPlain: raw/plain\r\nTo: old@x\r\n\r\n");
    EXPECT_EQ(fields.GetFieldParameters("content-type"), " boundary=\"b\"");
    EXPECT_EQ(fields.GetFieldParameters("Plain") + fields.GetFieldParameters("Missing"), "");
    fields.SetField("To", "new@y");  // not the folded key: a second field beside it
    fields.SetField("PLAIN", "replaced");
    EXPECT_EQ(fields.Format(),
              "CONTENT-TYPE: multipart/mixed; boundary=\"b\"\r\nPLAIN: replaced\r\nTO: old@x\r\nTo: new@y\r\n\r\n");
    EXPECT_EQ(CMailHeader().Format(), "\r\n\r\n");

    char raw[] = " \t\r\n\v\fvalue with  inner \r\n";
    EXPECT_EQ(CMailHeader::TrimBlanks(raw), raw);
    EXPECT_STREQ(raw, "value with  inner");
    char blank[] = " \t \r\n", empty[] = "";
    EXPECT_STREQ(CMailHeader::TrimBlanks(blank), "");
    EXPECT_STREQ(CMailHeader::TrimBlanks(empty), "");
}

}  // namespace
