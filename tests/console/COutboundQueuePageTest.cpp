// The outbound queue view shows each queued recipient with its message's
// head, read off the GUI thread, and deletes an entry, the Outbox file with
// its last row.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <filesystem>

#include "ConsoleTest.h"
#include "console/COutboundQueuePage.h"
#include "outbound/COutboundQueue.h"

using COutboundQueuePageTest = ConsoleTest;

TEST_F(COutboundQueuePageTest, ListsHeadsAndDeletesTheLastRowWithItsFile) {
    std::string file;
    {
        COutboundQueue queue("Outbox", Connection());
        ASSERT_TRUE(queue.CreateMailFile());
        ASSERT_TRUE(queue.SetSender("jsmith@mail.local"));
        ASSERT_TRUE(queue.AddRecipient("ann", "example.org"));
        auto content = Content("To: ann@example.org\r\nSubject: Figures\r\n\r\nBody\r\n");
        ASSERT_TRUE(queue.WriteBody(*content));
        file = queue.FilePath();
    }

    COutboundQueuePage page(context);
    page.WaitForPreviews();
    auto* list = page.findChild<QTreeWidget*>("queue");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "ann@example.org");
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Figures");
    EXPECT_EQ(list->topLevelItem(0)->text(2), "Unknown");
    Screenshot(page, "outbound-queue-page");

    CConsoleMessageBox::Script(false);
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(page.findChild<QPushButton*>("delete"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList{"Confirm Delete Operation: Are you sure you want to delete the selected mail"});
    EXPECT_EQ(Rows("SELECT * FROM OutBoundMails").size(), 1u);

    CConsoleMessageBox::Script(true);
    QTest::mouseClick(page.findChild<QPushButton*>("delete"), Qt::LeftButton);
    EXPECT_TRUE(Rows("SELECT * FROM OutBoundMails").empty());
    EXPECT_FALSE(std::filesystem::exists(home.File(file)));
    EXPECT_EQ(list->topLevelItemCount(), 0);
}
