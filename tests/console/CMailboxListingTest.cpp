// The mailbox listing shows what delivery stored, a bounded viewer, and
// marks, moves and deletes through the store.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "ConsoleTest.h"
#include "console/CMailboxListing.h"

class CMailboxListingTest : public ConsoleTest {
protected:
    void Store(const std::string& text) {
        std::unique_ptr<CLocalAccount> account(db.LookupLocalAccount("alice"));
        ASSERT_TRUE(account);
        auto content = Content(text);
        ASSERT_TRUE(account->DeliverToMailbox(content.get(), static_cast<std::uint32_t>(text.size())));
    }
    // A fresh look at the store, as a mail client would have it.
    std::unique_ptr<CLocalAccount> Fresh() {
        std::unique_ptr<CLocalAccount> account(db.LookupLocalAccount("alice"));
        EXPECT_TRUE(account && account->LoadAllFolders());
        return account;
    }
    static void Wait(QSignalSpy& spy) { ASSERT_TRUE(spy.count() > 0 || spy.wait(10000)); spy.clear(); }
};

TEST_F(CMailboxListingTest, ListsViewsMarksMovesAndDeletes) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    Store("From: Bob <bob@example.org>\r\nSubject: Lunch\r\n\r\nSee you at noon.\r\n");
    std::string big = "From: carol@example.org\r\nSubject: Archive\r\n\r\n";
    while (big.size() < 300 * 1024) big += std::string(78, 'x') + "\r\n";
    Store(big);

    CMailboxListing listing(context);
    QSignalSpy finished(&listing, &CMailboxListing::OperationFinished);
    listing.ShowAccount("alice");
    Wait(finished);
    auto* folders = listing.findChild<QListWidget*>("folders");
    auto* messages = listing.findChild<QTreeWidget*>("messages");
    auto* viewer = listing.findChild<QPlainTextEdit*>("viewer");
    EXPECT_EQ(folders->count(), 7);
    EXPECT_EQ(folders->currentItem()->text(), "Inbox");
    ASSERT_EQ(messages->topLevelItemCount(), 2);
    EXPECT_EQ(messages->topLevelItem(0)->text(1), "Lunch");
    EXPECT_EQ(messages->topLevelItem(0)->text(4), "No");

    messages->setCurrentItem(messages->topLevelItem(1));
    Wait(finished);
    EXPECT_TRUE(viewer->toPlainText().startsWith("From: carol@example.org\nSubject: Archive\n\n"));
    EXPECT_LT(viewer->toPlainText().size(), 70 * 1024);
    EXPECT_TRUE(viewer->toPlainText().contains("Only the first 64 KB"));
    messages->setCurrentItem(messages->topLevelItem(0));
    Wait(finished);
    EXPECT_TRUE(viewer->toPlainText().contains("See you at noon."));
    Screenshot(listing, "mailbox-listing");

    QTest::mouseClick(listing.findChild<QPushButton*>("markRead"), Qt::LeftButton);
    Wait(finished);
    EXPECT_EQ(messages->topLevelItem(0)->text(4), "Yes");
    EXPECT_TRUE(Fresh()->IsRead(1, CLocalAccount::kInbox));

    messages->setCurrentItem(messages->topLevelItem(0));
    Wait(finished);
    auto* target = listing.findChild<QComboBox*>("moveTarget");
    target->setCurrentIndex(target->findText("Trash"));
    QTest::mouseClick(listing.findChild<QPushButton*>("moveMessage"), Qt::LeftButton);
    Wait(finished);
    ASSERT_EQ(messages->topLevelItemCount(), 1);
    EXPECT_EQ(Fresh()->GetMessageCount(false, 5), 1);
    EXPECT_EQ(Fresh()->GetMessageCount(false, CLocalAccount::kInbox), 1);

    messages->setCurrentItem(messages->topLevelItem(0));
    Wait(finished);
    QTest::mouseClick(listing.findChild<QPushButton*>("deleteMessage"), Qt::LeftButton);
    Wait(finished);
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList({"Confirm Delete Operation: Are you sure you want to delete the selected message"}));
    EXPECT_EQ(messages->topLevelItemCount(), 0);
    EXPECT_EQ(Fresh()->GetMessageCount(true, CLocalAccount::kInbox), 0);
}
