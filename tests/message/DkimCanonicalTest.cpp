// DKIM relaxed canonicalization: RFC 6376 3.4.5's example, the body's edge
// cases (trailing blanks, empty and blank-only bodies, missing last line
// break, bare line ends), streaming across block boundaries, and the choice
// of signed fields.
#include "message/CDkimBodyHash.h"
#include "message/CBase64Encoder.h"
#include "message/DkimCanonical.h"

#include <gtest/gtest.h>

namespace {

std::string Relaxed(std::string_view header) {
    std::string out;
    for (const DkimField& field : SplitDkimFields(header)) out += RelaxedDkimField(field.raw) + "\r\n";
    return out;
}

TEST(DkimCanonical, RfcExample) {
    EXPECT_EQ(Relaxed("A: X\r\nB : Y\t\r\n\tZ  \r\n"), "a:X\r\nb:Y Z\r\n");
    EXPECT_EQ(CDkimBodyHash::Canonicalize(" C \r\nD \t E\r\n\r\n\r\n"), " C\r\nD E\r\n");
}

TEST(DkimCanonical, BodyEdges) {
    // Relaxed: an empty body (or one of empty lines) is empty, not "\r\n".
    EXPECT_EQ(CDkimBodyHash::Canonicalize(""), "");
    EXPECT_EQ(CDkimBodyHash::Canonicalize("\r\n\r\n"), "");
    EXPECT_EQ(CDkimBodyHash::Canonicalize(" \t\r\n  \r\n"), "");
    EXPECT_EQ(CDkimBodyHash::Canonicalize("last"), "last\r\n");
    EXPECT_EQ(CDkimBodyHash::Canonicalize("a  \t\r\n\r\n  b\t\r\n \r\n"), "a\r\n\r\n b\r\n");
    // Bare CR and LF end lines as they do on the wire.
    EXPECT_EQ(CDkimBodyHash::Canonicalize("a\nb\rc\r\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(CDkimBodyHash::Canonicalize("x\r"), "x\r\n");
}

TEST(DkimCanonical, HashIsTheSameWhateverTheBlocks) {
    const std::string body = "Hi \t there  \r\n\r\n\r\n second\r\r\n\r\n  \r\nend \r\n\r\n";
    CDkimBodyHash whole;
    whole.Update(body);
    const std::string expected = whole.Final();
    ASSERT_EQ(expected.size(), 32u);
    for (std::size_t block = 1; block < 7; ++block) {
        CDkimBodyHash pieces;
        for (std::size_t at = 0; at < body.size(); at += block) pieces.Update(std::string_view(body).substr(at, block));
        EXPECT_EQ(pieces.Final(), expected) << block;
    }
    CDkimBodyHash empty;
    EXPECT_EQ(CBase64Encoder().Encode(empty.Final()), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
}

TEST(DkimCanonical, FoldedFieldsAndSelection) {
    const std::string header =
        "Received: x\r\nFrom: A <a@x.test>\r\nSUBJECT:  Hello\r\n   World \r\nX-Other: no\r\nTo: b@y.test\r\n"
        "to : c@y.test\r\n";
    std::string names;
    const std::string data = DkimSignedFields(SplitDkimFields(header), {"from", "to", "subject", "date"}, names);
    // Repeated fields bottom-up; absent ones are not named.
    EXPECT_EQ(names, "from:to:to:subject");
    EXPECT_EQ(data, "from:A <a@x.test>\r\nto:c@y.test\r\nto:b@y.test\r\nsubject:Hello World\r\n");
    DkimSignedFields(SplitDkimFields("Subject: none\r\n"), {"from", "subject"}, names);
    EXPECT_EQ(names, "from:subject");
}

}  // namespace
