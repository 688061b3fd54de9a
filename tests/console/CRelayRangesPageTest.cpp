// The "IP Firewall Settings" page: the blocking switch written at once, a
// range added in the stored hexadecimal form and deleted again, and the
// refusal of a blank address.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>

#include "ConsoleTest.h"
#include "console/CRelayRangesPage.h"
#include "foundation/CRelayRanges.h"

using CRelayRangesPageTest = ConsoleTest;

TEST_F(CRelayRangesPageTest, BlockingRangesAndBlankAddresses) {
    CRelayRangesPage page(context);
    auto* blocking = page.findChild<QCheckBox*>("ipBlocking");
    auto* start = page.findChild<QLineEdit*>("startIp");
    auto* end = page.findChild<QLineEdit*>("endIp");
    auto* add = page.findChild<QPushButton*>("addRange");
    auto* remove = page.findChild<QPushButton*>("deleteRange");
    auto* list = page.findChild<QTreeWidget*>("ranges");
    ASSERT_TRUE(blocking && start && end && add && remove && list);

    ASSERT_FALSE(CRelayRanges::IpBlocking());
    EXPECT_FALSE(add->isEnabled());
    QTest::mouseClick(blocking, Qt::LeftButton);
    EXPECT_TRUE(CRelayRanges::IpBlocking());
    EXPECT_TRUE(add->isEnabled() && start->isEnabled());

    QTest::keyClicks(start, "0.0.0.0");
    QTest::keyClicks(end, "10.0.0.255");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList{"Marlowin: Blank Entries Not Allowed"});
    EXPECT_TRUE(Rows("SELECT * FROM RelayAllowed").empty());

    start->setText("10.0.0.1");
    QTest::mouseClick(add, Qt::LeftButton);
    start->setText("10.0.0.1");
    end->setText("10.0.0.9");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(Lines("SELECT FirstIp, LastIp FROM RelayAllowed ORDER BY LastIp"),
              (std::vector<std::string>{"0A000001|0A000009", "0A000001|0A0000FF"}));
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(1)->text(0), "10.0.0.1");
    Screenshot(page, "ip-firewall-settings-page");

    // One delete takes every range with the selected start.
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(remove, Qt::LeftButton);
    EXPECT_TRUE(Rows("SELECT * FROM RelayAllowed").empty());
    EXPECT_EQ(list->topLevelItemCount(), 0);

    QTest::mouseClick(blocking, Qt::LeftButton);
    EXPECT_FALSE(CRelayRanges::IpBlocking());
    EXPECT_FALSE(start->isEnabled());
}
