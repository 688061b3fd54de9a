// Account administration of CMailDatabase and the login check, through the
// real database and mail store.
// CUserRecord read from its tables: defaults where rows are missing, gaps in
// folder numbers, and rows that must not be trusted blindly.
#include <filesystem>
#include <vector>

#include "AccountTestSupport.h"
#include "foundation/CAccountRows.h"
#include "foundation/DataSource.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/StringFormat.h"
#include "store/CUserRecord.h"

namespace {

class AccountDatabaseTest : public AccountTest {
protected:
    // The value of expression over the account's rows of table.
    std::string Value(const std::string& expression, const std::string& table, long id) {
        return Text(StringPrintf("SELECT %s FROM %s WHERE aAccountId = %ld", expression.c_str(), table.c_str(), id));
    }
    std::string Count(const std::string& table, long id) { return Value("count(*)", table, id); }
};

}  // namespace

TEST_F(AccountDatabaseTest, ANewAccountHasItsRowsAndItsTreeOfSevenFolders) {
    ASSERT_TRUE(db.CreateAccount("frank", "o'neil", false, false, "frank@example.org", 1000, 1, 0, 200, 300));
    const long id = AccountId("frank");
    EXPECT_GT(id, 0);
    EXPECT_EQ(Count("Accounts", id), "1");
    EXPECT_EQ(Value("aMailBox", "Accounts", id), "QIRN" + std::to_string(id));
    EXPECT_EQ(Value("CAST(aIsAlive AS INTEGER) || '' || CAST(aLogged AS INTEGER) || '' || CAST(aIsAdmin AS INTEGER) || "
                    "'' || CAST(aIsGroup AS INTEGER)",
                    "Accounts", id),
              "1000");
    EXPECT_EQ(PasswordScrambler::Unscramble("frank", Value("aPassword", "Accounts", id)), "o'neil");
    EXPECT_EQ(Count("FolderMapping", id), "7");
    EXPECT_EQ(
        Lines(StringPrintf("SELECT FolderId, FolderName FROM FolderMapping WHERE aAccountId = %ld ORDER BY FolderId",
                           id)),
        (std::vector<std::string>{"1|Inbox", "2|Sent", "3|Task", "4|Request", "5|Trash", "6|Draft", "7|ApprovalMail"}));
    EXPECT_EQ(Value("MailBoxLimit || ',' || RecvMailLimit || ',' || SendMailLimit", "MailSizeControl", id),
              "1000,200,300");
    EXPECT_EQ(Value("aAllowRead || ',' || aAllowWrite", "AccessControl", id), "1,0");
    const std::string tree = home.File("mail/QIRN" + std::to_string(id));
    for (const char* folder : {"Inbox", "Sent", "Task", "Request", "Trash", "Draft", "ApprovalMail"})
        EXPECT_TRUE(std::filesystem::is_directory(tree + "/" + folder)) << folder;
}

TEST_F(AccountDatabaseTest, NamesThatCannotBeAMailboxAndDuplicatesAreRefused) {
    Create("grace");
    EXPECT_FALSE(db.CreateAccount("grace", "x", false, false, "g@example.org", 0, 1, 1, 0, 0));
    EXPECT_FALSE(db.CreateAccount("GRACE", "x", false, false, "g@example.org", 0, 1, 1, 0, 0));
    const std::vector<std::string> badNames = {
        "", "../etc", "a b", "o'hara", "x@y", ".hidden", std::string(65, 'a'), "caf\xc3\xa9"};
    for (const std::string& bad : badNames)
        EXPECT_FALSE(db.CreateAccount(bad, "x", false, false, "g@example.org", 0, 1, 1, 0, 0)) << bad;
    EXPECT_FALSE(db.CreateAccount("henry", "", false, false, "h@example.org", 0, 1, 1, 0, 0));
    EXPECT_FALSE(db.CreateAccount("henry", std::string(75, 'p'), false, false, "h@example.org", 0, 1, 1, 0, 0));
    EXPECT_FALSE(db.CreateAccount("henry", "x", false, false, "not an address", 0, 1, 1, 0, 0));
    EXPECT_FALSE(db.CreateAccount("henry", "x", false, false, "h@example.org", -1, 1, 1, 0, 0));
    EXPECT_EQ(Text("SELECT count(*) FROM Accounts"), "1");
    EXPECT_EQ(Text("SELECT count(*) FROM FolderMapping"), "7");
    EXPECT_TRUE(db.CreateAccount("h.ross-2_b", std::string(74, 'p'), false, false, "h@example.org", 0, 1, 1, 0, 0));
}

TEST_F(AccountDatabaseTest, AnAccountWithoutItsDirectoriesIsNotLeftBehind) {
    std::filesystem::remove_all(home.File("mail"));
    TestHome::WriteFile(home.File("mail"), "not a directory");
    EXPECT_FALSE(db.CreateAccount("ivan", "x", false, false, "i@example.org", 0, 1, 1, 0, 0));
    for (const char* table : {"Accounts", "FolderMapping", "MailSizeControl", "AccessControl"})
        EXPECT_EQ(Text(std::string("SELECT count(*) FROM ") + table), "0") << table;

    // Nobody to make the directories (no store installed): no account either.
    std::filesystem::remove(home.File("mail"));
    std::filesystem::create_directory(home.File("mail"));
    CMailDatabase::SetMailStoreMaker(nullptr);
    EXPECT_FALSE(db.CreateAccount("ivan", "x", false, false, "i@example.org", 0, 1, 1, 0, 0));
    CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);
    EXPECT_EQ(Text("SELECT count(*) FROM Accounts"), "0");
}

TEST_F(AccountDatabaseTest, ThePostmasterAndTheLastAdministratorAreProtectedAndAFailedDeleteKeepsTheAccount) {
    Create("postmaster", "pm", true);
    Create("judy", "j1", true);
    Create("ken", "k1", false);
    EXPECT_TRUE(CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), "postmaster"));
    EXPECT_TRUE(CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), "Postmaster"));
    EXPECT_FALSE(CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), "ken"));
    EXPECT_FALSE(CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), "judy"));  // two administrators
    EXPECT_FALSE(db.DeleteAccount("postmaster"));
    EXPECT_FALSE(db.AlterAccount("postmaster", "pm", false, false, "postmaster@example.org", 0, 1, 1));
    EXPECT_EQ(Text("SELECT aIsAdmin FROM Accounts WHERE aUserName = 'postmaster'"), "1");

    // With two administrators one may be demoted; then the other is the last.
    Create("leo", "l1", true);
    ASSERT_TRUE(Exec("DELETE FROM Accounts WHERE aUserName = 'postmaster'"));
    ASSERT_TRUE(db.AlterAccount("judy", "j1", false, false, "judy@example.org", 0, 1, 1));
    EXPECT_TRUE(CAccountRows::IsOnlyAdministrator(db.GetConnectionHandle(), "leo"));
    EXPECT_FALSE(db.AlterAccount("leo", "l1", false, false, "leo@example.org", 0, 1, 1));
    EXPECT_FALSE(db.DeleteAccount("leo"));
    EXPECT_TRUE(db.DeleteAccount("ken"));

    // A delete whose rows cannot go keeps the account for another try.
    const long id = Create("rita");
    bool failed = true;
    EXPECT_EQ(CAccountRows::AccountIdByName(db.GetConnectionHandle(), "rita", &failed), id);
    EXPECT_EQ(CAccountRows::AccountIdByName(db.GetConnectionHandle(), "o'rita", &failed), std::nullopt);
    EXPECT_FALSE(failed);
    EXPECT_EQ(CAccountRows::AccountIdByName(SQL_NULL_HDBC, "rita", &failed), std::nullopt);
    EXPECT_TRUE(failed);

    const bool postgres = DataSource::PostgresTargetOf(home.Path()).has_value();
    if (postgres)
        ASSERT_TRUE(
            Exec("CREATE FUNCTION keep() RETURNS trigger LANGUAGE plpgsql AS 'BEGIN RAISE EXCEPTION ''kept''; END'") &&
            Exec("CREATE TRIGGER keep BEFORE DELETE ON AccessControl FOR EACH ROW EXECUTE FUNCTION keep()"));
    else
        ASSERT_TRUE(Exec("CREATE TRIGGER keep BEFORE DELETE ON AccessControl BEGIN SELECT RAISE(ABORT, 'kept'); END"));
    EXPECT_FALSE(db.DeleteAccount("rita"));
    EXPECT_EQ(CAccountRows::AccountIdByName(db.GetConnectionHandle(), "rita"), id);
    ASSERT_TRUE(Exec(postgres ? "DROP TRIGGER keep ON AccessControl" : "DROP TRIGGER keep"));
    EXPECT_TRUE(db.DeleteAccount("rita"));
    EXPECT_EQ(CAccountRows::AccountIdByName(db.GetConnectionHandle(), "rita"), std::nullopt);
    EXPECT_EQ(Count("AccessControl", id), "0");

    // Alter changes existing accounts only; login has its outcomes.
    const long miaId = Create("mia", "old");
    ASSERT_TRUE(db.AlterAccountWithLimits("MIA", "new'one", false, true, "mia@example.net", 50, 0, 1, 60, 70));
    auto account = Account("mia");
    EXPECT_EQ(account->GetUserRecord().GetPassword(), "new'one");
    EXPECT_TRUE(account->GetUserRecord().IsAdmin());
    EXPECT_EQ(account->GetUserRecord().GetEmailId(), "mia@example.net");
    EXPECT_EQ(account->GetUserRecord().GetRecvMailSizeLimit(), 50u);
    EXPECT_EQ(account->GetUserRecord().GetRecvmailLimit(), 60u);
    EXPECT_EQ(Value("aAllowRead || '' || aAllowWrite", "AccessControl", miaId), "01");
    // Without limits the MailSizeControl row stays.
    ASSERT_TRUE(db.AlterAccount("mia", "third", false, true, "mia@example.net", 10, 1, 1));
    EXPECT_EQ(Value("MailBoxLimit", "MailSizeControl", miaId), "50");
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "mia", "third"), CAccountRows::LoginResult::Administrator);

    EXPECT_FALSE(db.AlterAccount("nobody", "x", false, false, "n@example.org", 0, 1, 1));
    EXPECT_FALSE(db.AlterAccount("mia", "", false, false, "m@example.org", 0, 1, 1));

    // Login has its outcomes.
    Create("nina", "pass'word", true);
    Create("otto", "otto");
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "nina", "pass'word"), CAccountRows::LoginResult::Administrator);
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "otto", "otto"), CAccountRows::LoginResult::User);
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "otto", "Otto"), CAccountRows::LoginResult::WrongPassword);
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "otto", ""), CAccountRows::LoginResult::WrongPassword);
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "nobody", "otto"), CAccountRows::LoginResult::UnknownName);
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "' OR '1'='1", "x"), CAccountRows::LoginResult::UnknownName);
    EXPECT_STREQ(CAccountRows::LoginMessage(CAccountRows::LoginResult::WrongPassword), "Invalid Password");
    EXPECT_STREQ(CAccountRows::LoginMessage(CAccountRows::LoginResult::UnknownName), "Invalid Login name");
    EXPECT_STREQ(CAccountRows::LoginMessage(CAccountRows::LoginResult::Administrator),
                 "You have successfully logged in as Administrator");
    CMailDatabase closed;  // never connected
    EXPECT_EQ(CAccountRows::CheckLogin(closed.GetConnectionHandle(), "otto", "otto"), CAccountRows::LoginResult::Failed);
    EXPECT_STREQ(CAccountRows::LoginMessage(CAccountRows::LoginResult::Failed), "Could not Login");
}

TEST_F(AccountDatabaseTest, DeletingAnAccountKeepsItsMailButNotItsRows) {
    SetCleanUp(true);
    const long id = Create("paul");
    const std::string tree = home.File("mail/QIRN" + std::to_string(id));
    std::string mailId;
    {
        auto account = Account("paul");
        const std::string text = "Subject: keep\r\n\r\nbody\r\n";
        ASSERT_TRUE(account->StoreInFolder(Content(text).get(), static_cast<std::uint32_t>(text.size()), 1));
        mailId = account->GetMessageId(1, 1);
    }
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Forwarding VALUES (%ld, 'paul', 'elsewhere.example', 0, 1)", id)));
    ASSERT_TRUE(Exec("INSERT INTO Aliases VALUES ('paul', 'remote', 'pauly')"));
    TestHome::WriteFile(home.File("mail/Inbox" + std::to_string(id) + ".mel"), "old single-file mailbox");

    ASSERT_TRUE(db.DeleteAccount("paul"));
    EXPECT_EQ(Text("SELECT count(*) FROM Accounts WHERE aUserName = 'paul'"), "0");
    for (const char* table : {"FolderMapping", "MailSizeControl", "AccessControl", "Mails", "MailInfo", "Forwarding"})
        EXPECT_EQ(Count(table, id), "0") << table;
    EXPECT_EQ(Text("SELECT count(*) FROM Aliases"), "0");
    EXPECT_TRUE(std::filesystem::exists(tree + "/Inbox/" + mailId + ".mel"));
    EXPECT_FALSE(std::filesystem::exists(home.File("mail/Inbox" + std::to_string(id) + ".mel")));
    EXPECT_FALSE(db.DeleteAccount("paul"));

    // The next account does not move into the old directory.
    const long next = Create("quinn");
    EXPECT_NE(next, id);
    auto account = Account("quinn");
    ASSERT_TRUE(account->Login("secret"));
    EXPECT_EQ(account->GetMessageCount(true, 1), 0);
    EXPECT_EQ(account->GetUserRecord().GetFolderCount(), 7);
}

TEST_F(AccountDatabaseTest, UserRecordFillsGapsAndIgnoresDamagedFolderRows) {
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Accounts VALUES (5, 'gap', '%s', 'QIRN5', 0, 1, 0, 0, 'g@x', 0)",
                                  SqlEscape(PasswordScrambler::ScrambleForColumn("gap", "pw")).c_str())));
    for (const char* row : {"(5, 1, 'Inbox', 0)", "(5, 2, 'Sent', 0)", "(5, 5, 'Trash', 0)", "(5, 0, 'Zero', 0)"})
        ASSERT_TRUE(Exec(std::string("INSERT INTO FolderMapping VALUES ") + row));
    ASSERT_TRUE(Exec("INSERT INTO UserPrefrences VALUES (5, 'courier', 12, 'plain', 1, 0, 1, 0, 1)"));
    CUserRecord record(db.GetConnectionHandle(), 5);
    EXPECT_EQ(record.GetFolderCount(), 5);
    EXPECT_STREQ(record.GetFolderName(3), " ");
    EXPECT_STREQ(record.GetFolderName(4), " ");
    EXPECT_STREQ(record.GetFolderName(5), "Trash");
    // No MailSizeControl row: no limits.
    EXPECT_EQ(record.GetMailboxLimit(), 0u);
    EXPECT_EQ(record.GetRecvmailLimit(), 0u);
    EXPECT_EQ(record.GetSendMailLimit(), 0u);
    EXPECT_EQ(record.GetFont() + std::to_string(record.GetFontSize()), "courier12");

    // A wild folder number is capped rather than allocated.
    ASSERT_TRUE(Exec("INSERT INTO FolderMapping VALUES (5, 2000000000, 'Wild', 0)"));
    CUserRecord capped(db.GetConnectionHandle(), 5);
    EXPECT_EQ(capped.GetFolderCount(), CUserRecord::kMaxFolders);

    CUserRecord missing(db.GetConnectionHandle(), 77);
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(missing.GetFolderCount(), 0);
    EXPECT_EQ(missing.GetPassword(), "");
}
