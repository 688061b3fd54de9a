// SqlFormat: what the statement formatter refuses to compile, and the text it
// composes from the pieces it accepts.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "foundation/SqlFormat.h"

namespace {

template <class T>
concept Accepted = requires(const T& value) {
    FormatSql("SELECT 1 FROM Accounts WHERE aUserName = '%s'", value);
};

// A value reaches a statement quoted or as the program's own text, never raw.
static_assert(Accepted<SqlText> && Accepted<SqlTrusted>);
static_assert(!Accepted<std::string> && !Accepted<const char*> && !Accepted<std::string_view> && !Accepted<char*>);
static_assert(!Accepted<bool> && !Accepted<char>);

}  // namespace

TEST(SqlFormat, PlacesQuotedTextNamesAndNumbersInOrder) {
    EXPECT_EQ(FormatSql("INSERT INTO t VALUES ('%s', %s, %ld, %d, %u, '100%%')", SqlText::Quote("O'Brien"),
                        SqlTrusted("true"), -7L, 42, 3u),
              "INSERT INTO t VALUES ('O''Brien', true, -7, 42, 3, '100%')");
    EXPECT_EQ(FormatSql("x in( '%s' )", SqlText::QuoteEach({"a'b", "c"})), "x in( 'a''b','c' )");
    EXPECT_EQ(FormatSql("SELECT max(%s) FROM Accounts", *SqlTrusted::Name("aAccountId")),
              "SELECT max(aAccountId) FROM Accounts");
    for (const char* name : {"", "1a", "a b", "a;--", "Accounts'"}) EXPECT_FALSE(SqlTrusted::Name(name)) << name;
}
