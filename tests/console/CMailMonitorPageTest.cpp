// The monitor page adds each watch once and deletes the one selected.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "ConsoleTest.h"
#include "console/CMailMonitorPage.h"

using CMailMonitorPageTest = ConsoleTest;

TEST_F(CMailMonitorPageTest, AddsEveryTickedWatchOnceAndDeletesOne) {
    ASSERT_TRUE(db.CreateAccount("boss", "pw", false, true, "boss@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, false, "o'brien@example.org", 0, 1, 1, 0, 0));

    CMailMonitorPage page(context);
    page.SetUser("boss");
    auto* watcher = page.findChild<QComboBox*>("monitorUser");
    EXPECT_EQ(watcher->currentText(), "boss");
    EXPECT_EQ(watcher->findText("alice"), -1);  // administrators only
    auto* addresses = page.findChild<QListWidget*>("monitorAddresses");
    const auto pick = [&] {
        for (const char* address : {"alice@example.org", "o'brien@example.org"})
            addresses->findItems(address, Qt::MatchExactly).at(0)->setSelected(true);
    };
    pick();
    auto* add = page.findChild<QPushButton*>("addMonitor");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList({"Marlowin: Please Select Type"}));
    page.findChild<QCheckBox*>("watchSend")->setChecked(true);
    page.findChild<QCheckBox*>("watchReceive")->setChecked(true);
    QTest::mouseClick(add, Qt::LeftButton);
    pick();
    QTest::mouseClick(add, Qt::LeftButton);
    const std::string rows = "SELECT Type, EmailAdd FROM mailmonitor WHERE nAccountId = " +
                             std::to_string(AccountId("boss")) + " ORDER BY EmailAdd, Type";
    EXPECT_EQ(Lines(rows), std::vector<std::string>({"R|alice@example.org", "S|alice@example.org",
                                                     "R|o'brien@example.org", "S|o'brien@example.org"}));
    auto* list = page.findChild<QTreeWidget*>("monitors");
    ASSERT_EQ(list->topLevelItemCount(), 4);
    Screenshot(page, "monitor-page");

    const auto rowOf = [&](const QString& type, const QString& address) {
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(1) == type && list->topLevelItem(i)->text(2) == address)
                return list->topLevelItem(i);
        return static_cast<QTreeWidgetItem*>(nullptr);
    };
    list->setCurrentItem(rowOf("Receive", "o'brien@example.org"));
    QTest::mouseClick(page.findChild<QPushButton*>("deleteMonitor"), Qt::LeftButton);
    EXPECT_EQ(Lines(rows), std::vector<std::string>(
                               {"R|alice@example.org", "S|alice@example.org", "S|o'brien@example.org"}));
    EXPECT_EQ(list->topLevelItemCount(), 3);
}
