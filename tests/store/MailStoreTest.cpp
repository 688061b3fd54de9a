// The storing step, index entries, store paths and the start-up sweep,
// through the real database and file system. Moving, listing and removing
// stored messages are proven through the account (LocalAccountTest).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "DatabaseTest.h"
#include "PostgresTestServer.h"
#include "foundation/DatabaseSchema.h"
#include "foundation/MailboxBytes.h"
#include "store/IncomingRoom.h"
#include "store/MissingMessageFiles.h"
#include "store/CStoredMail.h"
#include "store/MessageStoring.h"
#include "store/UnlistedMessageFiles.h"

namespace {

class MailStoreTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(db.CreateAccount("carol", "secret", false, false, "carol@example.org", 0, 1, 1, 0, 0));
        accountDirectory = home.File("mail/QIRN1");
        ASSERT_TRUE(std::filesystem::is_directory(accountDirectory + "/Inbox"));
    }
    // Stores text into a folder of account 1 and returns the id.
    std::string Store(const std::string& text, int folder, const std::string& folderName,
                      mailstore::StoreOutcome expected = {}) {
        auto content = Content(text);
        mailstore::StoreRequest request;
        request.accountId = 1;
        request.size = static_cast<std::uint32_t>(text.size());
        request.intoFolder = folder != 1;
        request.folderId = folder;
        request.sender = "O'Brien <ob@example.org>";
        request.subject = "Quarterly 'numbers'";
        std::string id;
        const mailstore::StoreOutcome outcome = mailstore::StoreMessage(
            db.GetConnectionHandle(), accountDirectory + "/" + folderName, request, *content, id);
        EXPECT_EQ(outcome.result, expected.result);
        EXPECT_EQ(outcome.error, expected.error) << outcome.Reason();
        return id;
    }

    std::string accountDirectory;
};

std::string BigMessage() {
    // Several 64 KB blocks and a partial one.
    std::string text = "From: a@b\r\nSubject: big\r\n\r\n";
    while (text.size() < 3 * 65536 + 1234) text += "0123456789abcdefghijklmnopqrstuvwxyz\r\n";
    return text;
}

}  // namespace

TEST_F(MailStoreTest, AStoredMessageIsOneFileAndOneRowInEachTableAndIdsAreUnique) {
    const std::string text = BigMessage();
    const bool sqlite = !PostgresTestServer::FromEnvironment();
    if (sqlite) EXPECT_EQ(Text("PRAGMA synchronous"), "1") << "the data source's NORMAL, until a store";
    const std::string id = Store(text, 1, "Inbox");
    // The caller lets the message's source go once the rows commit: a power
    // failure must not take them back.
    if (sqlite) EXPECT_EQ(Text("PRAGMA synchronous"), "2");
    const std::string file = accountDirectory + "/Inbox/" + id + ".mel";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(TestHome::ReadFile(file), text);
    EXPECT_EQ(Text("SELECT (SELECT count(*) FROM Mails WHERE mMailId = '" + id +
                   "') || '' || (SELECT count(*) FROM MailInfo WHERE mMailId = '" + id + "')"),
              "11");

    CStoredMail entry(db.GetConnectionHandle());
    ASSERT_TRUE(entry.Load(id, 1, 1));
    EXPECT_EQ(entry.GetSize(), text.size());
    EXPECT_EQ(entry.GetOffset(), 0u);
    EXPECT_FALSE(entry.IsRead());
    EXPECT_FALSE(entry.IsDeleted());
    EXPECT_STREQ(entry.GetSender(), "O'Brien <ob@example.org>");
    EXPECT_STREQ(entry.GetSubject(), "Quarterly 'numbers'");
    EXPECT_EQ(std::strlen(entry.GetReceivedDate()), 19u);
    std::unique_ptr<CMailContent> read(entry.ReadMessage(accountDirectory + "/Inbox"));
    ASSERT_TRUE(read);
    EXPECT_EQ(ReadAll(*read), text);

    // Ids come from one counter across threads.
    const std::time_t now = std::time(nullptr);
    const std::string first = mailstore::MakeMailId(now);
    EXPECT_TRUE(std::regex_match(first, std::regex("QIRN-[0-9]{8}-" + std::to_string(now) + "[0-9]+"))) << first;

    std::vector<std::vector<std::string>> made(4);
    std::vector<std::thread> threads;
    for (auto& ids : made)
        threads.emplace_back([&ids, now] {
            for (int i = 0; i < 500; ++i) ids.push_back(mailstore::MakeMailId(now));
        });
    for (auto& t : threads) t.join();
    std::set<std::string> unique;
    for (const auto& ids : made) unique.insert(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), 2000u);
}

TEST_F(MailStoreTest, AFileThatCannotBeCreatedReportsItsErrnoAndLeavesNoRows) {
    Store("Subject: x\r\n\r\nbody\r\n", 9, "NoSuchFolder", {mailstore::StoreResult::FileFailed, ENOENT});
    // A folder whose directory became a plain file (root writes anywhere, so
    // a read-only directory would not fail here).
    TestHome::WriteFile(accountDirectory + "/Plain", "not a directory");
    Store("Subject: x\r\n\r\nbody\r\n", 9, "Plain", {mailstore::StoreResult::FileFailed, ENOTDIR});
    EXPECT_EQ(Text("SELECT count(*) FROM Mails"), "0");
    EXPECT_EQ(Text("SELECT count(*) FROM MailInfo"), "0");
}

TEST_F(MailStoreTest, ARefusedSummaryRowTakesBackTheMailsRowAndTheFileOnEitherConnection) {
    ASSERT_TRUE(Exec("ALTER TABLE MailInfo RENAME TO Hidden"));
    // Shared: the row is deleted again; exclusive: the transaction rolls back.
    for (const bool exclusive : {false, true}) {
        db.SetExclusive(exclusive);
        Store("Subject: x\r\n\r\nbody\r\n", 1, "Inbox", {mailstore::StoreResult::RowsFailed, 0});
        EXPECT_EQ(Text("SELECT count(*) FROM Mails"), "0");
        EXPECT_TRUE(std::filesystem::is_empty(accountDirectory + "/Inbox"));
    }
}

TEST(MailStorePaths, OnlyPlainNamesBecomePaths) {
    EXPECT_EQ(mailstore::CleanFolderName("My Folder!", 31), "MyFolder");
    EXPECT_EQ(mailstore::CleanFolderName("../../etc/passwd", 31), "etcpasswd");
    EXPECT_EQ(mailstore::CleanFolderName("Gr\xc3\xbc\xc3\x9f"
                                         "e 2024",
                                         31),
              "Gre2024");
    EXPECT_EQ(mailstore::CleanFolderName(std::string(40, 'a'), 31), std::string(31, 'a'));
    EXPECT_EQ(mailstore::CleanFolderName(" .-/", 31), "");
    for (const char* bad : {"", ".", "..", " ", "a/b", "a\\b", "a\nb"}) EXPECT_FALSE(mailstore::IsSafeName(bad)) << bad;
    EXPECT_TRUE(mailstore::IsSafeName("QIRN-20240101-17000000001.mel"));
    EXPECT_EQ(mailstore::JoinPath("/m", ".."), "");
    EXPECT_EQ(mailstore::JoinPath("", "Inbox"), "");
    EXPECT_EQ(mailstore::JoinPath("/m/", "Inbox"), "/m/Inbox");
}

// The start-up sweep removes only what an interrupted store leaves: an
// unlisted file named like a message, written inside the given window.
TEST_F(MailStoreTest, TheSweepRemovesOnlyUnlistedMessageFilesWrittenInTheWindow) {
    const std::string listed = Store("From: a@b\r\n\r\nlisted\r\n", 1, "Inbox");
    const std::string inbox = accountDirectory + "/Inbox/";
    const std::string sent = accountDirectory + "/Sent/";
    auto stamp = [](const std::string& path, std::time_t when) {
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    };
    auto write = [&](const std::string& path, std::time_t when) {
        TestHome::WriteFile(path, "x");
        stamp(path, when);
    };
    const std::time_t now = std::time(nullptr);
    write(inbox + "QIRN-20260101-17000000001.mel", now - 50);   // left by the interrupted run
    write(sent + "QIRN-20260101-17000000002.mel", now - 50);    // in any folder
    write(inbox + "QIRN-20260101-17000000003.mel", now - 500);  // older: kept after a deletion
    write(inbox + "QIRN-20260101-17000000004.mel", now + 50);   // newer than the start
    write(inbox + "task-7.mel", now - 50);                      // not a message name
    write(inbox + "QIRN-2026011-170.mel", now - 50);
    std::filesystem::create_directory(inbox + "QIRN-20260101-17000000005.mel");
    stamp(inbox + listed + ".mel", now - 50);  // listed, written in the window

    const timespec since{now - 100, 0}, before{now, 0};
    EXPECT_EQ(mailstore::RemoveUnlistedMessageFiles(db.GetConnectionHandle(), home.File("mail"), since, before), 2u);
    EXPECT_FALSE(std::filesystem::exists(inbox + "QIRN-20260101-17000000001.mel"));
    EXPECT_FALSE(std::filesystem::exists(sent + "QIRN-20260101-17000000002.mel"));
    for (const char* kept : {"QIRN-20260101-17000000003.mel", "QIRN-20260101-17000000004.mel", "task-7.mel",
                             "QIRN-2026011-170.mel", "QIRN-20260101-17000000005.mel"})
        EXPECT_TRUE(std::filesystem::exists(inbox + kept)) << kept;
    EXPECT_TRUE(std::filesystem::exists(inbox + listed + ".mel"));
}

// SQLite ends a transaction by itself when the disk is full, and its driver
// then went on committing later stores statement by statement: rows whose
// file the failed store had taken back. A page cap stands in for the disk.
TEST_F(MailStoreTest, StoresOnAFullDatabaseLeaveNoRowWithoutItsFile) {
    if (PostgresTestServer::FromEnvironment()) GTEST_SKIP() << "the page cap is SQLite's";
    db.SetExclusive();  // as a spool worker's connection: each store is one transaction
    ASSERT_TRUE(Exec("CREATE TABLE Filler (x TEXT)"));
    ASSERT_TRUE(Exec("PRAGMA max_page_count = " + std::to_string(std::stol(Text("PRAGMA page_count")) + 3)));
    while (Exec("INSERT INTO Filler VALUES ('" + std::string(500, 'y') + "')")) {
    }
    int stored = 0, failed = 0;
    for (int i = 0; i < 30; ++i) {
        if (i == 20) ASSERT_TRUE(Exec("DELETE FROM Filler"));  // room again
        auto content = Content("From: a@b\r\n\r\nhello\r\n");
        mailstore::StoreRequest request;
        request.accountId = 1;
        request.size = 20;
        request.sender = std::string(200, 's');  // rows large enough to fill pages
        request.subject = std::string(200, 't');
        std::string id;
        const auto outcome = mailstore::StoreMessage(Connection(), accountDirectory + "/Inbox", request, *content, id);
        (outcome.Stored() ? stored : failed)++;
        if (outcome.Stored()) EXPECT_TRUE(std::filesystem::exists(accountDirectory + "/Inbox/" + id + ".mel"));
    }
    EXPECT_GT(failed, 0);
    EXPECT_GE(stored, 10);
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(accountDirectory + "/Inbox")) files += entry.is_regular_file();
    EXPECT_EQ(Text("SELECT count(*) FROM Mails"), std::to_string(stored));
    EXPECT_EQ(Text("SELECT count(*) FROM MailInfo"), std::to_string(stored));
    EXPECT_EQ(files, static_cast<std::size_t>(stored));
}

// At start rows without their file are repaired: refiled where a move that
// stopped half-way put the file, deleted otherwise; nothing else is touched.
TEST_F(MailStoreTest, RowsWithoutTheirFileAreRefiledOrRemovedAtStart) {
    const std::string lost = Store("From: a@b\r\n\r\nlost\r\n", 1, "Inbox");
    const std::string moved = Store("From: a@b\r\n\r\nmoved\r\n", 1, "Inbox");
    const std::string kept = Store("From: a@b\r\n\r\nkept\r\n", 1, "Inbox");
    const std::string inbox = accountDirectory + "/Inbox/", sent = accountDirectory + "/Sent/";
    ASSERT_TRUE(std::filesystem::remove(inbox + lost + ".mel"));
    std::filesystem::rename(inbox + moved + ".mel", sent + moved + ".mel");
    ASSERT_TRUE(Exec("INSERT INTO Mails VALUES('task-7',1,0,0,0,0,'x',3,0,4)"));  // not a message's name

    // A store that is not there (an unmounted volume) loses nothing.
    EXPECT_EQ(mailstore::RepairRowsWithoutFiles(Connection(), home.File("elsewhere")), 0u);
    EXPECT_EQ(Text("SELECT count(*) FROM Mails"), "4");

    EXPECT_EQ(mailstore::RepairRowsWithoutFiles(Connection(), home.File("mail")), 2u);
    auto folders = [&](const std::string& id) {
        return Text("SELECT (SELECT count(*) || ':' || coalesce(max(mFolderId), 0) FROM Mails WHERE mMailId = '" + id +
                    "') || '/' || (SELECT count(*) || ':' || coalesce(max(mFolderId), 0) FROM MailInfo WHERE mMailId = '" +
                    id + "')");
    };
    EXPECT_EQ(folders(lost), "0:0/0:0");
    EXPECT_EQ(folders(moved), "1:2/1:2");
    EXPECT_EQ(folders(kept), "1:1/1:1");
    EXPECT_EQ(Text("SELECT count(*) FROM Mails WHERE mMailId = 'task-7'"), "1");
    EXPECT_EQ(mailstore::RepairRowsWithoutFiles(Connection(), home.File("mail")), 0u);
}

// The kept folder sizes against the sums they stand for, through the store
// and through statements any other program could run on Mails.
TEST_F(MailStoreTest, KeptFolderSizesFollowEveryChangeAndSetupComputesThemAfresh) {
    ASSERT_TRUE(db.CreateAccount("dave", "secret", false, false, "dave@example.org", 0, 1, 1, 0, 0));
    const long dave = AccountId("dave");
    const auto agrees = [&](const std::string& step) {
        for (const long account : {1L, dave})
            for (const int folder : {1, 2, 3}) {
                const std::string summed =
                    Text("SELECT coalesce(sum(mMailSize), 0) FROM Mails WHERE aAccountId = " + std::to_string(account) +
                         " AND mFolderId = " + std::to_string(folder) + " AND mDeleted = 0");
                EXPECT_EQ(MailboxBytes::Read(Connection(), account, folder), std::stoull(summed))
                    << step << ": account " << account << ", folder " << folder;
            }
    };
    const std::string first = Store("Subject: one\r\n\r\nfirst\r\n", 1, "Inbox");
    const std::string second = Store("Subject: two\r\n\r\nsecond, longer\r\n", 1, "Inbox");
    Store("Subject: three\r\n\r\nin the other folder\r\n", 2, "Sent");
    ASSERT_GT(mailstore::UndeletedFolderBytes(Connection(), 1, 1), 0u);
    ASSERT_EQ(MailboxBytes::Read(Connection(), 1, 1), mailstore::UndeletedFolderBytes(Connection(), 1, 1));
    agrees("stored");

    ASSERT_TRUE(Exec("UPDATE Mails SET mDeleted = 1 WHERE mMailId = '" + first + "'"));
    agrees("marked deleted");
    ASSERT_TRUE(Exec("UPDATE Mails SET mDeleted = 1 WHERE mMailId = '" + first + "'"));
    agrees("marked deleted twice");
    ASSERT_TRUE(Exec("UPDATE Mails SET mDeleted = 0, mRead = 1 WHERE mMailId = '" + first + "'"));
    agrees("undeleted");
    ASSERT_TRUE(Exec("UPDATE Mails SET mFolderId = 3 WHERE mMailId = '" + second + "'"));
    agrees("moved to another folder");
    ASSERT_TRUE(Exec("UPDATE Mails SET aAccountId = " + std::to_string(dave) + ", mMailSize = 7 WHERE mMailId = '" +
                     second + "'"));
    agrees("given to another account with another size");
    ASSERT_TRUE(Exec("INSERT INTO Mails SELECT 'copy', aAccountId, mMailSize, 0, mDeleted, 0, mRcvdTime, 1, mRead, "
                     "mFolderId FROM Mails WHERE mMailId = '" + first + "'"));
    agrees("copied by a statement");
    ASSERT_TRUE(Exec("DELETE FROM Mails WHERE mMailId = '" + first + "' OR mMailId = 'copy'"));
    agrees("rows removed");

    // A drifted size (or a home made before the sizes were kept) is made
    // right by setup.
    ASSERT_TRUE(Exec("UPDATE MailboxBytes SET Bytes = 999999"));
    ASSERT_TRUE(Exec("DELETE FROM MailboxBytes WHERE mFolderId = 2"));
    std::string error;
    ASSERT_TRUE(DatabaseSchema::Create(Connection(), error)) << error;
    agrees("computed again");
}
