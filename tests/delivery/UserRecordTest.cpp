// CUserRecord read from its tables: defaults where rows are missing, gaps in
// folder numbers, and rows that must not be trusted blindly. A whole record
// is read back through the account suites (AccountDatabaseTest).
#include "AccountTestSupport.h"
#include "delivery/CUserRecord.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/StringFormat.h"

TEST_F(AccountTest, UserRecordFillsGapsAndIgnoresDamagedFolderRows) {
    ASSERT_TRUE(Exec(StringPrintf("INSERT INTO Accounts VALUES (5, 'gap', '%s', 'QIRN5', 0, 1, 0, 0, 'g@x', 0)",
                                  SqlEscape(PasswordScrambler::Scramble("gap", "pw")).c_str())));
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
    EXPECT_EQ(record.GetFont(), "courier");
    EXPECT_EQ(record.GetFontSize(), 12);
    EXPECT_TRUE(record.GetSaveCopy());
    EXPECT_TRUE(record.GetReadRcpt());

    // A wild folder number is capped rather than allocated.
    ASSERT_TRUE(Exec("INSERT INTO FolderMapping VALUES (5, 2000000000, 'Wild', 0)"));
    CUserRecord capped(db.GetConnectionHandle(), 5);
    EXPECT_EQ(capped.GetFolderCount(), CUserRecord::kMaxFolders);

    CUserRecord missing(db.GetConnectionHandle(), 77);
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(missing.GetFolderCount(), 0);
    EXPECT_EQ(missing.GetPassword(), "");
}
