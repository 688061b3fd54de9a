// `velmora db migrate`: a SQLite home's rows arrive in PostgreSQL with their
// ids, passwords of any bytes still log in, a target with rows is refused,
// and a home of 10,000 messages keeps every one readable.
// Runs in the PostgreSQL half of the suite (VELMORA_TEST_POSTGRES).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>

#include "PostgresTestServer.h"
#include "foundation/CAccountRows.h"
#include "TestHome.h"
#include "app/DbCommand.h"
#include "app/SetupCommand.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "foundation/MailboxBytes.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "foundation/OdbcTransaction.h"
#include "foundation/SqlFormat.h"
#include "foundation/SqlText.h"
#include "foundation/PasswordScrambler.h"
#include "store/CMailboxFolder.h"
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

// A full home migrates with every message still listed and readable through
// the store. The SQLite side is filled directly (rows in one transaction,
// files unsynced) to keep the run short; the reading back goes the store's way.
TEST(DbMigrate, TenThousandMessagesStayReadable) {
    if (!PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "needs the PostgreSQL test cluster";
    constexpr int kMessages = 10000;
    TestHome home;
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), out, err), 0) << err.str();
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
    std::string accountDirectory, inbox;
    long accountId = 0;
    {
        CMailDatabase db;
        ASSERT_TRUE(db.Connect());
        ASSERT_TRUE(db.CreateAccount("ann", "secret12", false, false, "ann@example.org", 0, 1, 1, 0, 0));
        std::unique_ptr<CLocalAccount> ann(db.LookupLocalAccount("ann"));
        ASSERT_TRUE(ann);
        accountId = *CAccountRows::AccountIdByName(db.GetConnectionHandle(), "ann");
        accountDirectory = ann->AccountDirectory();
        inbox = mailstore::JoinPath(accountDirectory, "Inbox");
        db.SetExclusive();
        OdbcTransaction transaction(db.GetConnectionHandle());
        for (int i = 0; i < kMessages; ++i) {
            const std::string id = "QIRN-20261207-" + std::to_string(1000000 + i);
            const std::string text = "Subject: n" + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) + "\r\n";
            TestHome::WriteFile(mailstore::JoinPath(inbox, id + ".mel"), text);
            OdbcStatement mails(db.GetConnectionHandle());
            ASSERT_TRUE(mails.ExecDirect(FormatSql("INSERT INTO MAILS VALUES('%s',%ld,%ld,0,0,0,"
                                                   "'2026-12-07 06:00:00',1,0,1)",
                                                   SqlText::Quote(id), accountId, static_cast<long>(text.size()))))
                << mails.LastError();
            OdbcStatement info(db.GetConnectionHandle());
            ASSERT_TRUE(info.ExecDirect(FormatSql("INSERT INTO MAILINFO VALUES('%s','%s','n%d',"
                                                  "'2026-12-07 06:00:00',%ld,1)",
                                                  SqlText::Quote(id), SqlText::Quote("o'neil@example.org"), i,
                                                  accountId)))
                << info.LastError();
        }
        ASSERT_TRUE(transaction.Commit());
    }
    const std::string targetHome = home.Path() + "-target";
    const auto target = PostgresTestServer::CreateDatabase(targetHome);
    ASSERT_TRUE(target);
    const auto started = std::chrono::steady_clock::now();
    std::istringstream in;
    ASSERT_EQ(DbCommand::Run({"migrate", "--to", target->Url()}, in, out, err, false), 0) << err.str();
    std::fprintf(stderr, "migration of %d messages: %.1f s\n", kMessages,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    OdbcEnvironment env;
    OdbcConnection connection;
    ASSERT_TRUE(connection.Allocate(env) && connection.DriverConnect(DataSource::PostgresConnectionString(*target)));
    CMailboxFolder folder;
    ASSERT_TRUE(folder.Load(connection.Handle(), accountId, 1, accountDirectory));
    ASSERT_EQ(folder.Count(true), static_cast<std::size_t>(kMessages));
    int unreadable = 0;
    for (long n = 1; n <= kMessages; ++n) {
        const CStoredMail* mail = folder.Entry(n);
        std::unique_ptr<CMailContent> content(mail->ReadMessage(inbox));
        std::string text(mail->GetSize(), '\0');
        if (!content || content->Read(text.data(), mail->GetSize()) != static_cast<int>(text.size()) ||
            text.find(std::string("\r\n\r\nbody ") + (mail->GetSubject() + 1)) == std::string::npos ||
            std::string(mail->GetSender()) != "o'neil@example.org")
            ++unreadable;
    }
    EXPECT_EQ(unreadable, 0);
    // The target's kept folder size came with the rows.
    const std::optional<std::uint64_t> kept = MailboxBytes::Read(connection.Handle(), accountId, 1);
    OdbcStatement sum(connection.Handle());
    std::string summed;
    ASSERT_TRUE(sum.ExecDirect(FormatSql("SELECT sum(mMailSize) FROM Mails WHERE aAccountId = %ld", accountId)) &&
                sum.Fetch() && sum.GetText(1, summed));
    EXPECT_EQ(kept, std::stoull(summed));
    PostgresTestServer::DropDatabase(targetHome);
}
