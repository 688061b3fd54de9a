// SqlFormat: what the statement formatter refuses to compile, and the text it
// composes from the pieces it accepts.
// SqlDialect: Access forms become the backend's, and quoted values are never touched.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "foundation/SqlFormat.h"
#include "foundation/SqlDialect.h"
#include "foundation/StringFormat.h"

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

TEST(SqlDialect, RewritesOnlyOutsideQuotedValues) {
    const SqlDialect sqlite(SqlDialect::Backend::SQLite, true);
    EXPECT_EQ(sqlite.Translate("DELETE * from MXCache where Domain = 'a.b'"),
              "DELETE from MXCache where Domain = 'a.b'");
    EXPECT_EQ(sqlite.Translate("DELETE  *  FROM t"), "DELETE FROM t");
    EXPECT_EQ(sqlite.Translate("select * from t where ucase(Type) = 'S'"), "select * from t where upper(Type) = 'S'");
    EXPECT_EQ(sqlite.Translate("SELECT x FROM t WHERE d > cdate('2026-12-06 10:00:00')"),
              "SELECT x FROM t WHERE d > '2026-12-06 10:00:00'");
    EXPECT_EQ(sqlite.Translate("WHERE d <= CDATE( '2026-12-30 23:30:00' ) + 3"), "WHERE d <= '2027-01-02 23:30:00'");
    EXPECT_EQ(sqlite.Translate("WHERE d > cdate('2024-02-28')+1"), "WHERE d > '2024-02-29 00:00:00'");
    EXPECT_EQ(sqlite.Translate("WHERE d >= cdate('12/1/2026') AND d <= cdate('12/31/2026')+1"),
              "WHERE d >= '2026-12-01 00:00:00' AND d <= '2027-01-01 00:00:00'");
    // Inside values nothing changes, whatever it looks like.
    EXPECT_EQ(sqlite.Translate("INSERT INTO t VALUES ('DELETE * FROM x', 'ucase(a)', 'cdate(''2026-01-01'')', 'true')"),
              "INSERT INTO t VALUES ('DELETE * FROM x', 'ucase(a)', 'cdate(''2026-01-01'')', 'true')");
    // Identifiers that merely contain the words stay.
    EXPECT_EQ(sqlite.Translate("SELECT ucase_col, mycdate FROM truetable"), "SELECT ucase_col, mycdate FROM truetable");
    // Not a date: left for the backend to refuse.
    EXPECT_EQ(sqlite.Translate("WHERE d > cdate('soon')"), "WHERE d > cdate('soon')");
    // An unterminated literal is copied as it is.
    EXPECT_EQ(sqlite.Translate("SELECT 'open ucase("), "SELECT 'open ucase(");

    const SqlDialect noBooleans(SqlDialect::Backend::Other, false);
    EXPECT_EQ(noBooleans.Translate("UPDATE Accounts SET aLogged = false WHERE aLogged = TRUE AND n = 'true'"),
              "UPDATE Accounts SET aLogged = 0 WHERE aLogged = 1 AND n = 'true'");
    EXPECT_EQ(sqlite.Translate("SET a = true"), "SET a = true");
    EXPECT_EQ(sqlite.Translate("INSERT INTO MAILS VALUES('a',1,0,0,0,0,'t',3,1,4)"),
              "INSERT INTO MAILS VALUES('a',1,0,0,0,0,'t',3,1,4)");
}

// PostgreSQL's boolean takes no integer: yes/no columns get true/false
// wherever a statement gives them 0/1, and nothing else changes.
TEST(SqlDialect, YesNoIntegersBecomeBooleansOnPostgres) {
    const SqlDialect pg(SqlDialect::Backend::PostgreSQL, true);
    EXPECT_EQ(pg.Translate("INSERT INTO MAILS VALUES('a',1,0,0,0,0,'t',3,1,4)"),
              "INSERT INTO MAILS VALUES('a',1,0,0,false,0,'t',3,true,4)");
    EXPECT_EQ(pg.Translate("INSERT INTO Accounts VALUES (7, 'x,y', 'p', 'Q', 0, 1, 0, -1,'e',0)"),
              "INSERT INTO Accounts VALUES (7, 'x,y', 'p', 'Q', false, true, false, true,'e',0)");
    EXPECT_EQ(pg.Translate("INSERT INTO Forwarding (aAccountId, Enable) VALUES (abs(-1), 1)"),
              "INSERT INTO Forwarding (aAccountId, Enable) VALUES (abs(-1), true)");
    EXPECT_EQ(pg.Translate("UPDATE Mails SET mDeleted=1, mMailSize = 0 WHERE mRead <> 0 AND mType = 1 AND "
                           "Enable = 1+2 AND x = 'mDeleted = 1'"),
              "UPDATE Mails SET mDeleted=true, mMailSize = 0 WHERE mRead <> false AND mType = 1 AND "
              "Enable = 1+2 AND x = 'mDeleted = 1'");
    EXPECT_EQ(pg.Translate("SELECT Count(1) FROM OutBoundMails WHERE Sent = false"),
              "SELECT Count(1) FROM OutBoundMails WHERE Sent = false");
    EXPECT_EQ(pg.Translate("INSERT INTO Unknown VALUES (1, 0)"), "INSERT INTO Unknown VALUES (1, 0)");
    // Nor does it compare text with numbers.
    EXPECT_EQ(pg.Translate("DELETE FROM mailmonitor WHERE nAccountId = 12 AND mailmonitor.Type='S'"),
              "DELETE FROM mailmonitor WHERE nAccountId = '12' AND mailmonitor.Type='S'");
    EXPECT_EQ(pg.Translate("select * from mailmonitor,accounts where accounts.aAccountid=mailmonitor.nAccountid"),
              "select * from mailmonitor,accounts where accounts.aAccountid::text=mailmonitor.nAccountid");
    EXPECT_EQ(pg.Translate("DELETE FROM MAILSTATISTICS WHERE Offset = 4 AND IsLocal = 1 LIMIT 2 OFFSET 3"),
              "DELETE FROM MAILSTATISTICS WHERE \"offset\" = 4 AND IsLocal = true LIMIT 2 OFFSET 3");
    EXPECT_EQ(pg.Translate("INSERT INTO mailmonitor VALUES (7, 'S', 'a@b')"),
              "INSERT INTO mailmonitor VALUES ('7', 'S', 'a@b')");
}

TEST(SqlEscape, DoublesApostrophesAndStopsAtNul) {
    EXPECT_EQ(SqlEscape("O'Brien''s"), "O''Brien''''s");
    EXPECT_EQ(SqlEscape(std::string("ab\0'cd", 6)), "ab");
}
