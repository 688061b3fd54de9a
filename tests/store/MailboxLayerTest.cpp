// The shared mailbox layer on a real home: UID numbering, change
// notification, concurrent sessions, all-or-nothing transfers, missing files,
// limits, and what delivery and the account object change under a view.
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "DatabaseTest.h"
#include "foundation/SettingValue.h"
#include "store/CSqlMailboxStore.h"
#include "store/MessageStoring.h"

using namespace mailbox;

namespace {

class MailboxLayerTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(db.CreateAccount("carol", "secret", false, false, "carol@example.org", 0, 1, 1, 0, 0));
        accountDirectory = home.File("mail/QIRN1");
        store = OpenAccountMailbox(Connection(), 1);
        ASSERT_TRUE(store);
    }
    std::string Deliver(const std::string& subject) {
        const std::string text = "From: a@example.org\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
        auto content = Content(text);
        mailstore::StoreRequest request;
        request.accountId = 1;
        request.size = static_cast<std::uint32_t>(text.size());
        std::string id;
        EXPECT_TRUE(mailstore::StoreMessage(Connection(), accountDirectory + "/Inbox", request, *content, id).Stored());
        return id;
    }
    std::unique_ptr<CMailboxView> OpenInbox(CMailboxStore& s) {
        auto view = s.Open(1, false);
        EXPECT_TRUE(view.Ok());
        return std::move(view.value);
    }
    static std::vector<std::uint32_t> Uids(const CMailboxView& view) {
        std::vector<std::uint32_t> uids;
        for (const MessageInfo& m : view.Messages()) uids.push_back(m.uid);
        return uids;
    }
    std::string Count(const std::string& table, int folder) {
        return Text("SELECT count(*) FROM " + table + " WHERE mFolderId = " + std::to_string(folder));
    }
    std::string accountDirectory;
    std::unique_ptr<CMailboxStore> store;
};

TEST_F(MailboxLayerTest, UidsAscendAreNeverReusedAndDeliveryIsReportedAsAdded) {
    for (int i = 0; i < 3; ++i) Deliver("m" + std::to_string(i));
    auto view = OpenInbox(*store);
    EXPECT_EQ(Uids(*view), (std::vector<std::uint32_t>{1, 2, 3}));
    const std::uint32_t validity = view->UidValidity();
    // An expunged message's file stays unless deletions are to remove files.
    const std::string third = accountDirectory + "/Inbox/" + view->Messages()[2].mailId + ".mel";
    ASSERT_TRUE(view->SetFlags({3}, FlagMode::Add, kDeleted | kFlagged, {"$Work"}).Ok());
    EXPECT_EQ(view->Expunge(nullptr).value, (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(Count("Mails", 1), "2");
    EXPECT_TRUE(std::filesystem::exists(third));

    // Delivery moves the counter and wakes a waiter (IDLE); the view's
    // refresh reports the message. A stop descriptor ends a wait too.
    const std::uint64_t before = store->ChangeCounter();
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    std::uint64_t woke = before;
    std::thread waiter([&] { woke = store->WaitForChange(before, std::chrono::minutes(1), stop[0]); });
    Deliver("late");
    waiter.join();
    EXPECT_NE(woke, before);
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    EXPECT_EQ(store->WaitForChange(woke, std::chrono::minutes(1), stop[0]), woke);
    ::close(stop[0]);
    ::close(stop[1]);
    const Result<Changes> changes = view->Refresh();
    ASSERT_TRUE(changes.Ok());
    ASSERT_EQ(changes.value.added.size(), 1u);
    EXPECT_EQ(changes.value.added[0].uid, 4u);
    EXPECT_TRUE(changes.value.expunged.empty());

    // A new session sees the same numbering and validity.
    auto again = OpenAccountMailbox(Connection(), 1);
    auto reopened = OpenInbox(*again);
    EXPECT_EQ(Uids(*reopened), (std::vector<std::uint32_t>{1, 2, 4}));
    EXPECT_EQ(reopened->UidValidity(), validity);
    EXPECT_EQ(reopened->UidNext(), 5u);
    // Seen is the store's read mark, shared with every reader.
    ASSERT_TRUE(reopened->SetFlags({1}, FlagMode::Add, kSeen, {}).Ok());
    EXPECT_EQ(Text("SELECT count(*) FROM Mails WHERE mRead = 1"), "1");
    // The writer's snapshot has its own change already; the other view is told.
    EXPECT_TRUE(reopened->Refresh().value.flagsChanged.empty());
    EXPECT_EQ(reopened->Messages()[0].flags, kSeen);
    const Result<Changes> seen = view->Refresh();
    ASSERT_EQ(seen.value.flagsChanged.size(), 1u);
    EXPECT_EQ(seen.value.flagsChanged[0].flags, kSeen);

    // Deletions set to remove files: the expunge takes the file too.
    ASSERT_TRUE(settings::Dword(settings::kPreferences, "CleanUpAfterDelete").Write(1, true));
    const std::string fourth = accountDirectory + "/Inbox/" + reopened->Messages()[2].mailId + ".mel";
    ASSERT_TRUE(std::filesystem::exists(fourth));
    ASSERT_TRUE(reopened->SetFlags({4}, FlagMode::Add, kDeleted, {}).Ok());
    EXPECT_EQ(reopened->Expunge(nullptr).value, (std::vector<std::uint32_t>{4}));
    EXPECT_FALSE(std::filesystem::exists(fourth));
}

TEST_F(MailboxLayerTest, APop3PurgeAndAMissingFileAreSeenForTheirMessagesOnly) {
    Deliver("one");
    const std::string second = Deliver("two");
    auto view = OpenInbox(*store);
    std::filesystem::remove(accountDirectory + "/Inbox/" + second + ".mel");
    EXPECT_EQ(view->Open(2).error, Error::MessageMissing);
    const auto opened = view->Open(1);
    ASSERT_TRUE(opened.Ok());
    EXPECT_GT(opened.value.size, 0u);
    EXPECT_EQ(view->Open(9).error, Error::NoSuchMessage);

    std::unique_ptr<CLocalAccount> account(CLocalAccount::Create(nullptr, Connection(), 1));
    ASSERT_TRUE(account->Login("secret"));
    ASSERT_TRUE(account->MarkDeleted(1, CLocalAccount::kInbox));
    ASSERT_TRUE(account->CommitDeletions());
    const Result<Changes> changes = view->Refresh();
    EXPECT_EQ(changes.value.expunged, (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(Uids(*view), (std::vector<std::uint32_t>{2}));
}

TEST_F(MailboxLayerTest, CopyAndMoveAreAllOrNothing) {
    for (int i = 0; i < 3; ++i) Deliver("m" + std::to_string(i));
    const Result<int> work = store->CreateFolder("Work");
    ASSERT_TRUE(work.Ok());
    EXPECT_EQ(store->CreateFolder("Work").error, Error::FolderExists);
    EXPECT_EQ(store->CreateFolder("Work/2026").error, Error::InvalidName);
    auto view = OpenInbox(*store);
    ASSERT_TRUE(view->SetFlags({2}, FlagMode::Add, kFlagged, {}).Ok());

    // The target's summary rows are refused: nothing moves, nothing stays behind.
    ASSERT_TRUE(Exec("ALTER TABLE MailInfo RENAME TO Hidden"));
    EXPECT_EQ(view->Move({1, 2, 3}, work.value).error, Error::Storage);
    ASSERT_TRUE(Exec("ALTER TABLE Hidden RENAME TO MailInfo"));
    EXPECT_EQ(Count("Mails", work.value), "0");
    EXPECT_EQ(Count("MailboxMessageState", work.value), "0");
    EXPECT_TRUE(std::filesystem::is_empty(accountDirectory + "/Work"));
    EXPECT_EQ(Uids(*view), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(Count("Mails", 1), "3");

    // A failed move that committed statement by statement leaves a gap in
    // the target's UIDs (one transaction leaves none), never a repeat.
    const Result<CopyResult> copied = view->Copy({2}, work.value);
    ASSERT_TRUE(copied.Ok());
    ASSERT_EQ(copied.value.uids.size(), 1u);
    const std::uint32_t first = copied.value.uids[0].second;
    EXPECT_EQ(copied.value.uids[0].first, 2u);
    const Result<CopyResult> moved = view->Move({1, 3}, work.value);
    ASSERT_TRUE(moved.Ok());
    EXPECT_EQ(moved.value.uids,
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, first + 1}, {3, first + 2}}));
    EXPECT_EQ(Uids(*view), (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(Count("Mails", 1), "1");
    EXPECT_EQ(Count("MailInfo", work.value), "3");
    auto target = store->Open(work.value, true);
    ASSERT_TRUE(target.Ok());
    ASSERT_EQ(target.value->Messages().size(), 3u);
    EXPECT_EQ(target.value->Messages()[0].flags, kFlagged);
    for (const MessageInfo& m : target.value->Messages()) EXPECT_TRUE(target.value->Open(m.uid).Ok());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(accountDirectory + "/Inbox"), {}), 1);

    EXPECT_EQ(store->RenameFolder(1, "Box").error, Error::FolderProtected);
    ASSERT_TRUE(store->RenameFolder(work.value, "Archive").Ok());
    EXPECT_NE(store->Status(work.value).value.uidValidity, target.value->UidValidity());
    // A view that read its folder's name before the rename finds the files under the new one.
    EXPECT_TRUE(target.value->Open(target.value->Messages()[0].uid).Ok());
    ASSERT_TRUE(store->DeleteFolder(work.value).Ok());
    EXPECT_EQ(Count("Mails", work.value), "0");
    EXPECT_FALSE(std::filesystem::exists(accountDirectory + "/Archive"));
}

TEST_F(MailboxLayerTest, AppendKeepsTheAccountsLimitsAndAnInterruptedAppendLeavesNothing) {
    const std::string text = "From: me@example.org\r\nSubject: draft\r\n\r\n" + std::string(1500, 'x') + "\r\n";
    auto content = Content(text);
    const auto size = static_cast<std::uint32_t>(text.size());
    const Result<AppendResult> stored = store->Append(6, *content, size, kSeen | kDraft, {"$Draft"}, 86400 * 365);
    ASSERT_TRUE(stored.Ok());
    auto drafts = store->Open(6, true);
    ASSERT_EQ(drafts.value->Messages().size(), 1u);
    EXPECT_EQ(drafts.value->Messages()[0].uid, stored.value.uid);
    EXPECT_EQ(drafts.value->Messages()[0].flags, kSeen | kDraft);
    EXPECT_EQ(drafts.value->Messages()[0].received, 86400 * 365);

    // Content that ends before its size: no row, no file.
    EXPECT_EQ(store->Append(6, *content, size + 10, 0, {}, 0).error, Error::Storage);
    EXPECT_EQ(Count("Mails", 6), "1");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(accountDirectory + "/Draft"), {}), 1);

    ASSERT_TRUE(Exec("UPDATE MailSizeControl SET RecvmailLimit = 1, MailBoxLimit = 0 WHERE aAccountId = 1"));
    EXPECT_EQ(store->Append(6, *content, size, 0, {}, 0).error, Error::TooBig);
    ASSERT_TRUE(Exec("UPDATE MailSizeControl SET RecvmailLimit = 0, MailBoxLimit = 2 WHERE aAccountId = 1"));
    Deliver("fills the inbox " + std::string(1500, 'y'));
    EXPECT_EQ(store->Append(6, *content, size, 0, {}, 0).error, Error::OverQuota);
}

TEST_F(MailboxLayerTest, TwoSessionsFlagMoveAndExpungeAtOnceWithoutLosingOrRepeatingAMessage) {
    constexpr int kMessages = 40;
    for (int i = 0; i < kMessages; ++i) Deliver("m" + std::to_string(i));
    const int archive = store->CreateFolder("Archive").value;
    auto session = [&](bool mover, std::set<std::uint32_t>& gone) {
        auto own = OpenAccountMailbox(Connection(), 1);
        auto view = OpenInbox(*own);
        for (std::uint32_t uid = mover ? 1 : 2; uid <= kMessages; uid += 2) {
            view->SetFlags({uid, uid + 1}, FlagMode::Add, kFlagged, {});
            if (mover) {
                const Result<CopyResult> moved = view->Move({uid}, archive);
                for (const auto& pair : moved.value.uids) gone.insert(pair.first);
            } else {
                view->SetFlags({uid}, FlagMode::Add, kDeleted, {});
                for (std::uint32_t u : view->Expunge(nullptr).value) gone.insert(u);
            }
            const Result<Changes> changes = view->Refresh();
            std::set<std::uint32_t> shown;
            for (const MessageInfo& m : view->Messages()) EXPECT_TRUE(shown.insert(m.uid).second);
        }
    };
    std::set<std::uint32_t> moved, expunged;
    std::thread first(session, true, std::ref(moved));
    std::thread second(session, false, std::ref(expunged));
    first.join();
    second.join();
    auto inbox = OpenInbox(*store);
    auto target = store->Open(archive, true);
    EXPECT_EQ(inbox->Messages().size() + target.value->Messages().size() + expunged.size(),
              static_cast<std::size_t>(kMessages));
    EXPECT_EQ(moved.size(), target.value->Messages().size());
    for (std::uint32_t uid : moved) EXPECT_EQ(expunged.count(uid), 0u);
    std::set<std::uint32_t> targetUids;
    for (const MessageInfo& m : target.value->Messages()) EXPECT_TRUE(targetUids.insert(m.uid).second);
    EXPECT_EQ(Text("SELECT count(*) FROM Mails"), std::to_string(kMessages - expunged.size()));
}

}  // namespace
