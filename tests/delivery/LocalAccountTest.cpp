// The mailbox operations of CLocalAccount through the real database and
// file system: what a server module sees when it serves a mailbox.
#include <filesystem>

#include "AccountTestSupport.h"
#include "foundation/StringFormat.h"
#include "store/CStoredMail.h"

namespace {

class LocalAccountTest : public AccountTest {
protected:
    void SetUp() override {
        AccountTest::SetUp();
        id = Create("dave");
        directory = home.File("mail/QIRN" + std::to_string(id));
    }
    // Stores a message into the folder and checks it went in.
    void Put(CLocalAccount& account, int folder, const std::string& subject, const std::string& extra = "") {
        const std::string text = "From: Eve <eve@example.org>\r\nTo: Dave <dave@example.org>\r\nSubject: " + subject +
                                 "\r\n" + extra + "\r\nHello\r\n";
        auto content = Content(text);
        ASSERT_TRUE(account.StoreInFolder(content.get(), static_cast<std::uint32_t>(text.size()), folder));
    }
    std::string File(const std::string& folder, const std::string& mailId) {
        return directory + "/" + folder + "/" + mailId + ".mel";
    }

    long id = 0;
    std::string directory;
};

}  // namespace

TEST_F(LocalAccountTest, LoginNeedsTheRightPasswordAndLoadsEveryFolder) {
    for (int folder : {1, 6}) Put(*Account("dave"), folder, "one");
    auto account = Account("dave");
    ASSERT_TRUE(account);
    EXPECT_EQ(account->GetMessageCount(true, 1), 0);
    EXPECT_FALSE(account->Login("wrong"));
    EXPECT_FALSE(account->Login(""));
    EXPECT_EQ(account->GetMessageCount(true, 1), 0);
    ASSERT_TRUE(account->Login("secret"));
    EXPECT_EQ(account->GetMessageCount(false, 1), 1);
    EXPECT_EQ(account->GetMessageCount(false, 6), 1);

    // An id without an account has no password that anything could match.
    std::unique_ptr<CLocalAccount> ghost(CLocalAccount::Create(&db, db.GetConnectionHandle(), 999));
    EXPECT_FALSE(ghost->Login(""));
    EXPECT_FALSE(ghost->Login("secret"));
}

TEST_F(LocalAccountTest, StoredMessagesAreListedReadAndDescribed) {
    auto account = Account("dave");
    ASSERT_TRUE(account->Login("secret"));
    Put(*account, 1, "first");
    Put(*account, 2, "sent copy", "X-QIRN-DocType: memo\r\n");
    ASSERT_EQ(account->GetMessageCount(false, 1), 1);
    ASSERT_EQ(account->GetMessageCount(false, 2), 1);

    CStoredMail* inbox = account->GetStoredMail(1, 1);
    ASSERT_TRUE(inbox);
    EXPECT_STREQ(inbox->GetSender(), "Eve <eve@example.org>");
    EXPECT_STREQ(inbox->GetSubject(), "first");
    EXPECT_TRUE(account->IsRead(1, 1));
    EXPECT_EQ(account->GetMessageProperty(1, 1), 1);
    // Sent copies are listed by their recipient; a memo keeps its type.
    CStoredMail* sent = account->GetStoredMail(1, 2);
    EXPECT_STREQ(sent->GetSender(), "Dave <dave@example.org>");
    EXPECT_EQ(account->GetMessageProperty(1, 2), 2);

    const std::string mailId = account->GetMessageId(1, 1);
    EXPECT_EQ(std::filesystem::file_size(File("Inbox", mailId)), account->GetMessageSize(1, 1));
    std::unique_ptr<CMailContent> content(account->ReadMessage(1, 1));
    ASSERT_TRUE(content);
    EXPECT_NE(ReadAll(*content).find("Subject: first\r\n"), std::string::npos);
    EXPECT_EQ(account->GetFolderSize(1), account->GetMessageSize(1, 1));

    // A message whose file went missing reads as nothing.
    std::filesystem::remove(File("Inbox", mailId));
    EXPECT_EQ(account->ReadMessage(1, 1), nullptr);

    // Numbers outside the folder or the account answer the failure values.
    EXPECT_EQ(account->GetMessageCount(true, 99), 0);
    EXPECT_EQ(account->GetMessageCount(true, 0), 0);
    EXPECT_EQ(account->ReadMessage(2, 1), nullptr);
    EXPECT_TRUE(account->IsDeleted(2, 1));
    EXPECT_TRUE(account->IsRead(1, 99));
    EXPECT_EQ(account->GetMessageId(0, 1), "");
    EXPECT_EQ(account->GetMessageSize(5, 1), 0u);
    EXPECT_FALSE(account->MarkDeleted(1, 99));
    EXPECT_FALSE(account->StoreInFolder(Content("x").get(), 1, 99));
}

TEST_F(LocalAccountTest, DeletionMarksCountUndoAndCommit) {
    SetCleanUp(false);
    auto account = Account("dave");
    ASSERT_TRUE(account->Login("secret"));
    Put(*account, 1, "a");
    Put(*account, 1, "b");
    Put(*account, 3, "task");  // a folder beyond Inbox and Sent
    const std::uint64_t before = account->GetFolderSize(1);

    ASSERT_TRUE(account->MarkDeleted(1, 1));
    EXPECT_FALSE(account->MarkDeleted(1, 1));  // already marked
    EXPECT_TRUE(account->IsDeleted(1, 1));
    EXPECT_EQ(account->GetMessageCount(false, 1), 1);
    EXPECT_EQ(account->GetMessageCount(true, 1), 2);
    EXPECT_LT(account->GetFolderSize(1), before);
    ASSERT_TRUE(account->MarkDeleted(1, 3));
    ASSERT_TRUE(account->UndoDeletions());
    EXPECT_EQ(account->GetMessageCount(false, 1), 2);
    EXPECT_EQ(account->GetFolderSize(1), before);
    // Undo reaches every folder: a message marked in Task is not left hidden.
    EXPECT_EQ(Text("SELECT count(*) FROM Mails WHERE mDeleted = 1"), "0");

    // Marks left at the end of a session are undone by the destructor.
    ASSERT_TRUE(account->MarkDeleted(2, 1));
    account.reset();
    account = Account("dave");
    ASSERT_TRUE(account->Login("secret"));
    EXPECT_EQ(account->GetMessageCount(false, 1), 2);

    // Committed with clean-up off: rows go, the file stays.
    const std::string kept = account->GetMessageId(1, 1);
    ASSERT_TRUE(account->MarkDeleted(1, 1));
    ASSERT_TRUE(account->CommitDeletions());
    EXPECT_EQ(account->GetMessageCount(true, 1), 1);
    EXPECT_EQ(Text("SELECT count(*) FROM Mails WHERE mMailId = '" + kept + "'"), "0");
    EXPECT_EQ(Text("SELECT count(*) FROM MailInfo WHERE mMailId = '" + kept + "'"), "0");
    EXPECT_TRUE(std::filesystem::exists(File("Inbox", kept)));

    // With clean-up on the file goes too.
    SetCleanUp(true);
    const std::string removed = account->GetMessageId(1, 1);
    ASSERT_TRUE(account->MarkDeleted(1, 1));
    ASSERT_TRUE(account->CommitDeletions());
    EXPECT_EQ(account->GetMessageCount(true, 1), 0);
    EXPECT_FALSE(std::filesystem::exists(File("Inbox", removed)));
}

TEST_F(LocalAccountTest, CreateFolderKeepsOnlyLettersAndDigits) {
    auto account = Account("dave");
    ASSERT_TRUE(account->CreateFolder("My Folder!"));
    EXPECT_EQ(account->GetUserRecord().GetFolderCount(), 8);
    EXPECT_STREQ(account->GetUserRecord().GetFolderName(8), "MyFolder");
    EXPECT_TRUE(std::filesystem::is_directory(directory + "/MyFolder"));
    EXPECT_EQ(Text(StringPrintf("SELECT FolderName FROM FolderMapping WHERE aAccountId = %ld AND FolderId = 8", id)),
              "MyFolder");

    // No path can leave the account directory.
    ASSERT_TRUE(account->CreateFolder("../../Escape"));
    EXPECT_TRUE(std::filesystem::is_directory(directory + "/Escape"));
    EXPECT_FALSE(std::filesystem::exists(home.File("Escape")));
    EXPECT_FALSE(account->CreateFolder("!!! ..."));
    EXPECT_FALSE(account->CreateFolder("my folder"));  // same directory as "MyFolder"
    EXPECT_EQ(account->GetUserRecord().GetFolderCount(), 9);

    // A folder made meanwhile by another session is not numbered over.
    auto other = Account("dave");
    ASSERT_TRUE(other->CreateFolder("Archive"));
    ASSERT_TRUE(account->CreateFolder("Projects"));
    EXPECT_EQ(Text(StringPrintf("SELECT FolderId FROM FolderMapping WHERE aAccountId = %ld AND FolderName = "
                                "'Projects'",
                                id)),
              "11");

    // A new folder can be stored into and listed at once.
    Put(*account, 11, "filed");
    EXPECT_EQ(account->GetMessageCount(false, 11), 1);
}

TEST_F(LocalAccountTest, MovesFollowTheFileAndNeverReplaceOne) {
    auto account = Account("dave");
    ASSERT_TRUE(account->Login("secret"));
    Put(*account, 1, "move me");
    Put(*account, 1, "stay");
    const std::string mailId = account->GetMessageId(1, 1);

    // A file of that name already in Trash: nothing moves, nothing changes.
    TestHome::WriteFile(File("Trash", mailId), "occupied");
    EXPECT_FALSE(account->MoveMessage(1, 1, 5));
    EXPECT_EQ(TestHome::ReadFile(File("Trash", mailId)), "occupied");
    EXPECT_TRUE(std::filesystem::exists(File("Inbox", mailId)));
    EXPECT_EQ(account->GetMessageCount(true, 1), 2);
    EXPECT_EQ(account->GetMessageCount(true, 5), 0);
    EXPECT_EQ(Text("SELECT mFolderId FROM Mails WHERE mMailId = '" + mailId + "'"), "1");

    std::filesystem::remove(File("Trash", mailId));
    ASSERT_TRUE(account->MoveMessage(1, 1, 5));
    EXPECT_EQ(account->GetMessageCount(true, 1), 1);
    ASSERT_EQ(account->GetMessageCount(true, 5), 1);
    EXPECT_EQ(account->GetMessageId(1, 5), mailId);
    std::unique_ptr<CMailContent> moved(account->ReadMessage(1, 5));
    ASSERT_TRUE(moved);
    EXPECT_NE(ReadAll(*moved).find("move me"), std::string::npos);
    EXPECT_EQ(Text("SELECT mFolderId FROM MailInfo WHERE mMailId = '" + mailId + "'"), "5");
    EXPECT_FALSE(account->MoveMessage(1, 5, 5));
    EXPECT_FALSE(account->MoveMessage(1, 5, 42));
}

TEST_F(LocalAccountTest, DeleteFolderEmptiesItAndKeepsOtherNumbers) {
    SetCleanUp(true);
    auto account = Account("dave");
    ASSERT_TRUE(account->CreateFolder("Old"));
    ASSERT_TRUE(account->CreateFolder("Keep"));
    Put(*account, 8, "old one");
    Put(*account, 9, "kept one");
    // Not logged in: the folder is read before it is emptied.
    EXPECT_FALSE(account->DeleteFolder(1));  // standard folders stay
    EXPECT_FALSE(account->DeleteFolder(7));
    ASSERT_TRUE(account->DeleteFolder(8));
    EXPECT_EQ(Text("SELECT count(*) FROM Mails WHERE mFolderId = 8"), "0");
    EXPECT_EQ(Text("SELECT count(*) FROM FolderMapping WHERE FolderId = 8"), "0");
    EXPECT_TRUE(std::filesystem::is_directory(directory + "/Old"));
    EXPECT_FALSE(account->DeleteFolder(8));
    EXPECT_EQ(account->GetMessageCount(true, 8), 0);
    EXPECT_STREQ(account->GetUserRecord().GetFolderName(9), "Keep");
    EXPECT_EQ(account->GetMessageCount(true, 9), 1);
    EXPECT_FALSE(account->StoreInFolder(Content("x").get(), 1, 8));

    // Read back, the gap stays a gap.
    auto again = Account("dave");
    EXPECT_EQ(again->GetUserRecord().GetFolderCount(), 9);
    EXPECT_STREQ(again->GetUserRecord().GetFolderName(8), " ");
    ASSERT_TRUE(again->Login("secret"));
    EXPECT_EQ(again->GetMessageCount(true, 9), 1);
}

TEST_F(LocalAccountTest, RefreshFolderPurgesMarksAndSeesNewMailAndOneSessionPerAccount) {
    SetCleanUp(false);
    auto account = Account("dave");
    ASSERT_TRUE(account->Login("secret"));
    Put(*account, 1, "a");
    ASSERT_TRUE(account->MarkDeleted(1, 1));
    {
        auto other = Account("dave");
        Put(*other, 1, "b");
    }
    ASSERT_TRUE(account->RefreshFolder(1));
    ASSERT_EQ(account->GetMessageCount(true, 1), 1);
    EXPECT_STREQ(account->GetStoredMail(1, 1)->GetSubject(), "b");
    account.reset();

    // One session per account.
    auto first = Account("dave");
    auto second = Account("dave");
    ASSERT_TRUE(first->Lock());
    EXPECT_TRUE(first->IsLoggedIn());
    EXPECT_FALSE(second->Lock());
    EXPECT_FALSE(first->Lock());
    // Only the holder can release the account.
    EXPECT_FALSE(second->Unlock());
    EXPECT_EQ(Text(StringPrintf("SELECT aLogged FROM Accounts WHERE aAccountId = %ld", id)), "1");
    first.reset();  // ending the session releases it
    EXPECT_EQ(Text(StringPrintf("SELECT aLogged FROM Accounts WHERE aAccountId = %ld", id)), "0");
    ASSERT_TRUE(second->Lock());
    ASSERT_TRUE(second->Unlock());
    EXPECT_FALSE(second->IsLoggedIn());
    EXPECT_TRUE(second->Lock());
}
