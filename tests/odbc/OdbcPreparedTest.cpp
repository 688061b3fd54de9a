// Prepared statements, transactions and the writer lock through the real
// SQLite ODBC driver, on the connections the server makes.
#include <atomic>
#include <thread>

#include "PostgresTestServer.h"
#include "DatabaseTest.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcTransaction.h"
#include "foundation/StringFormat.h"

namespace {

class OdbcPreparedTest : public DatabaseTest {
protected:
    // A MailInfo row through a prepared insert; whether it ran prepared.
    static bool Insert(SQLHDBC connection, const std::string& id, const std::string& sender, long account) {
        OdbcPrepared s(connection);
        EXPECT_TRUE(s.Run("INSERT INTO MAILINFO VALUES('%s','%s','%s','%s',%d,%ld)", SqlText::Quote(id),
                          SqlText::Quote(sender), SqlText::Quote("subject"), SqlText::Quote("2024-01-01 00:00:00"),
                          static_cast<int>(account), 1L))
            << s.LastError();
        return s.UsedPrepared();
    }
    long Count(const std::string& where) { return std::stol(Text("SELECT count(*) FROM MailInfo WHERE " + where)); }
};

}  // namespace

TEST_F(OdbcPreparedTest, ValuesAreBoundExactlyAsTheyWouldBePrintedAndOddTemplatesArePrinted) {
    if (PostgresTestServer::FromEnvironment())
        GTEST_SKIP() << "binding is SQLite's alone: PostgreSQL runs every statement printed";
    const std::string hostile[] = {"o'neil", "''", "a','b", "x?y %s %d", "' OR '1'='1", "t\tab \xc3\xa4\x01\x7f", ""};
    long n = 0;
    for (const std::string& value : hostile) {
        EXPECT_TRUE(Insert(Connection(), "id" + std::to_string(n), value, n + 1));
        ++n;
    }
    // A NUL ends the value, as it ends a printed one.
    EXPECT_TRUE(Insert(Connection(), "nul", std::string("ab\0cd", 5), 99));
    EXPECT_EQ(Text("SELECT Sender FROM MailInfo WHERE mMailId = 'nul'"), "ab");
    n = 0;
    for (const std::string& value : hostile) {
        EXPECT_EQ(Count("Sender = '" + SqlEscape(value) + "'"), 1) << value;
        // The same text reused with other values finds each row alone.
        OdbcPrepared s(Connection());
        std::string id;
        ASSERT_TRUE(s.Run("SELECT mMailId FROM MailInfo WHERE Sender = '%s' and aAccountId = %ld",
                          SqlText::Quote(value), n + 1));
        EXPECT_TRUE(s.UsedPrepared());
        ASSERT_TRUE(s.Fetch());
        ASSERT_TRUE(s.GetText(1, id));
        EXPECT_EQ(id, "id" + std::to_string(n++));
        EXPECT_FALSE(s.Fetch());
    }

    // A list of values in one pair of quotes binds each; a long one is printed.
    auto names = [&](const std::vector<std::string>& values, bool prepared) {
        OdbcPrepared s(Connection());
        EXPECT_TRUE(s.Run("SELECT count(*) FROM MailInfo WHERE Sender in( '%s' ) and mFolderId=%d",
                          SqlText::QuoteEach(values), 1));
        EXPECT_EQ(s.UsedPrepared(), prepared);
        std::uint32_t count = 0;
        return s.BindULong(1, count) && s.Fetch() ? count : 9999u;
    };
    EXPECT_EQ(names({"o'neil", "a','b", "nobody"}, true), 2u);
    std::vector<std::string> many(OdbcPrepared::kMaxListValues, "x");
    many.push_back("''");
    EXPECT_EQ(names(many, false), 1u);

    // Printed as before: a value the dialect rewrites, a text in a longer
    // literal, a number glued to a name; words stay in the text.
    OdbcPrepared dated(Connection());
    ASSERT_TRUE(dated.Run("SELECT count(*) FROM MailInfo WHERE RcvdDate < cdate('%s')+%d",
                          SqlText::Quote("2023-12-31"), 2));
    EXPECT_FALSE(dated.UsedPrepared());
    std::string count;
    ASSERT_TRUE(dated.Fetch() && dated.GetText(1, count));
    EXPECT_EQ(count, "8");
    OdbcPrepared like(Connection());
    ASSERT_TRUE(like.Run("SELECT count(*) FROM MailInfo WHERE Sender LIKE '%s%%'", SqlText::Quote("o'")));
    EXPECT_FALSE(like.UsedPrepared());
    ASSERT_TRUE(like.Fetch() && like.GetText(1, count));
    EXPECT_EQ(count, "1");
    const OdbcPrepared::Value glued[] = {{OdbcPrepared::Value::Kind::Number, {}, "2"}};
    EXPECT_FALSE(OdbcPrepared::MakePlan("SELECT Folder%d FROM x", glued, 1));
    const OdbcPrepared::Value word[] = {{OdbcPrepared::Value::Kind::Trusted, "true", {}}, glued[0], glued[0]};
    const auto plan = OdbcPrepared::MakePlan("UPDATE x SET a = %s, b = '%ld' WHERE c = %d", word, 3);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->text, "UPDATE x SET a = true, b = ? WHERE c = ?");
}

TEST_F(OdbcPreparedTest, TransactionsHoldOnlyOnAnExclusiveConnection) {
    {
        OdbcTransaction shared(Connection());
        EXPECT_FALSE(shared.Active());
        Insert(Connection(), "shared", "s", 1);
    }
    EXPECT_EQ(Count("mMailId = 'shared'"), 1);

    db.SetExclusive();
    {
        OdbcTransaction dropped(Connection());
        ASSERT_TRUE(dropped.Active());
        Insert(Connection(), "dropped", "s", 1);
        EXPECT_EQ(Count("mMailId = 'dropped'"), 1);  // seen inside
    }
    EXPECT_EQ(Count("mMailId = 'dropped'"), 0);
    {
        OdbcTransaction kept(Connection());
        Insert(Connection(), "kept", "s", 1);
        EXPECT_TRUE(kept.Commit());
    }
    Insert(Connection(), "after", "s", 1);  // autocommit again
    CMailDatabase other;
    ASSERT_TRUE(other.Open());
    OdbcStatement seen(other.GetConnectionHandle());
    std::uint32_t rows = 0;
    ASSERT_TRUE(seen.ExecDirect("SELECT count(*) FROM MailInfo WHERE mMailId in ('kept','after')") &&
                seen.BindULong(1, rows) && seen.Fetch());
    EXPECT_EQ(rows, 2u);
}

// Writers on several connections of one process take turns instead of
// meeting SQLite's busy answer; every row arrives.
TEST_F(OdbcPreparedTest, ConnectionsWritingAtOnceAllSucceed) {
    constexpr int kRows = 150;
    CMailDatabase workers[2];
    for (CMailDatabase& worker : workers) {
        ASSERT_TRUE(worker.Open());
        worker.SetExclusive();
    }
    std::atomic<int> failures{0};
    auto write = [&](SQLHDBC connection, const std::string& tag, bool transactions) {
        for (int i = 0; i < kRows; ++i) {
            OdbcTransaction transaction(connection);
            // A read first: its snapshot must still be the newest when the
            // write comes, which only holds when writers take turns.
            OdbcPrepared read(connection);
            if (!read.Run("SELECT count(*) FROM Mails WHERE aAccountId = %ld", 1L) || !read.Fetch()) ++failures;
            OdbcPrepared s(connection);
            const bool ran = s.Run("INSERT INTO MAILS VALUES('%s',%ld,%ld,%ld,0,%ld,'%s',%d,0,1)",
                                   SqlText::Quote(tag + std::to_string(i)), 1L, 10L, 0L, 0L,
                                   SqlText::Quote("2024-01-01 00:00:00"), 1);
            if (!ran || (transactions && i % 2 == 0 && !transaction.Commit())) ++failures;
            if (i % 2 == 1 && transaction.Active()) transaction.Commit();
        }
    };
    std::thread a(write, workers[0].GetConnectionHandle(), "a", true);
    std::thread b(write, workers[1].GetConnectionHandle(), "b", true);
    std::thread c(write, Connection(), "c", false);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Text("SELECT count(*) FROM Mails"), std::to_string(3 * kRows));
}
