// Address helpers: angle-bracket extraction, user/host split and the
// recipient recorded by a relay in its Received field.
#include "message/AddressFunctions.h"

#include <gtest/gtest.h>

namespace {

TEST(AddressFunctions, ExtractAngleAddress) {
    EXPECT_EQ(ExtractAngleAddress("\"Jane Doe\" <jane@example.com>"), "jane@example.com");
    EXPECT_EQ(ExtractAngleAddress("jane@example.com"), "jane@example.com");
    EXPECT_EQ(ExtractAngleAddress("<>"), "");
    EXPECT_EQ(ExtractAngleAddress("Jane <jane@example.com"), "Jane <jane@example.com");
    EXPECT_EQ(ExtractAngleAddress("a> b <c>"), "a> b <c>");  // first '>' before first '<'
    EXPECT_EQ(ExtractAngleAddress(" <a@b> trailing"), "a@b");
    EXPECT_EQ(ExtractAngleAddress(""), "");
}

TEST(AddressFunctions, SplitAddress) {
    AddressParts parts = SplitAddress("user@host.example");
    EXPECT_EQ(parts.user, "user");
    EXPECT_EQ(parts.host, "host.example");
    parts = SplitAddress("postmaster");
    EXPECT_EQ(parts.user, "postmaster");
    EXPECT_EQ(parts.host, "");
    parts = SplitAddress("a@b@c");
    EXPECT_EQ(parts.user, "a");
    EXPECT_EQ(parts.host, "b@c");
    parts = SplitAddress("@host");
    EXPECT_EQ(parts.user, "");
    EXPECT_EQ(parts.host, "host");
}

TEST(AddressFunctions, FindReceivedForAddress) {
    EXPECT_EQ(FindReceivedForAddress("from a by b with SMTP for <alias@x.example>; Mon, 1 Jan 2024"),
              "alias@x.example");
    EXPECT_EQ(FindReceivedForAddress("from a by b for alias@x.example; date"), std::nullopt);
    EXPECT_EQ(FindReceivedForAddress("from a For <x@y>"), std::nullopt);  // exact case
    EXPECT_EQ(FindReceivedForAddress(""), std::nullopt);
    // Joined values: the topmost field with a "for <" wins.
    EXPECT_EQ(FindReceivedForAddress("from a by b\r\n\tfrom c for <new@x>\r\n\tfrom d for <old@x>"), "new@x");
    // An unclosed bracket ends with its own field, not in an older one.
    EXPECT_EQ(FindReceivedForAddress("by b for <cut@x\r\n\tfrom c (d>)"), "cut@x");
    EXPECT_EQ(FindReceivedForAddress("by b for <tail@x"), "tail@x");
    EXPECT_EQ(FindReceivedForAddress("for <>"), "");
}

}  // namespace
