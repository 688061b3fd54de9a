// `velmora db migrate`: a SQLite home's rows arrive in PostgreSQL with their
// ids, passwords of any bytes still log in, and a target with rows is refused.
// Runs in the PostgreSQL half of the suite (VELMORA_TEST_POSTGRES).
#include <gtest/gtest.h>

#include <sstream>

#include "PostgresTestServer.h"
#include "TestHome.h"
#include "app/DbCommand.h"
#include "app/SetupCommand.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "foundation/PasswordScrambler.h"
#include "store/MailStorePaths.h"

TEST(DbMigrate, CopiesEveryRowWithItsIdsAndRefusesATargetWithRows) {
    if (!PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "needs the PostgreSQL test cluster";
    TestHome home;
    std::ostringstream out, err;
    // The source is the SQLite database setup makes without --database.
    ASSERT_EQ(SetupCommand::Run(home.Path(), out, err), 0) << err.str();
    const std::string odd = "\xff\xfe it's \\ \xc3\xa9";
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
    {
        CMailDatabase db;
        ASSERT_TRUE(db.Connect());
        ASSERT_TRUE(db.CreateAccount("ann", odd, false, true, "ann@example.org", 10, 1, 1, 0, 0));
        ASSERT_TRUE(db.CreateAccount("bob", "plain", false, false, "bob@example.org", 10, 1, 1, 0, 0));
    }
    const std::string targetHome = home.Path() + "-target";
    const auto target = PostgresTestServer::CreateDatabase(targetHome);
    ASSERT_TRUE(target);
    const std::vector<std::string> args = {"migrate", "--to", target->Url()};
    std::istringstream in;
    ASSERT_EQ(DbCommand::Run(args, in, out, err, false), 0) << err.str();

    OdbcEnvironment env;
    OdbcConnection connection;
    const std::string text = DataSource::PostgresConnectionString(*target);
    SQLCHAR completed[1024];
    SQLSMALLINT length = 0;
    ASSERT_TRUE(connection.Allocate(env));
    ASSERT_TRUE(OdbcSucceeded(SQLDriverConnect(connection.Handle(), nullptr, (SQLCHAR*)text.c_str(), SQL_NTS,
                                               completed, sizeof completed, &length, SQL_DRIVER_NOPROMPT)));
    {
        OdbcStatement s(connection.Handle());
        ASSERT_TRUE(s.ExecDirect("SELECT aAccountId, aUserName, aPassword, aIsAdmin FROM Accounts ORDER BY aAccountId"));
        std::vector<std::string> rows;
        while (s.Fetch()) {
            std::string id, name, stored, admin;
            s.GetText(1, id);
            s.GetText(2, name);
            s.GetText(3, stored);
            s.GetText(4, admin);
            rows.push_back(id + "|" + name + "|" + PasswordScrambler::Unscramble(name, stored) + "|" + admin);
        }
        EXPECT_EQ(rows, (std::vector<std::string>{"1|ann|" + odd + "|1", "2|bob|plain|0"}));
    }
    SQLDisconnect(connection.Handle());
    // Run again: the target has rows now, and the home names it already.
    EXPECT_EQ(DbCommand::Run(args, in, out, err, false), 1);
    PostgresTestServer::DropDatabase(targetHome);
}
