// The alias page writes the rows `velmora alias` writes.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <sstream>

#include "ConsoleTest.h"
#include "app/AliasCommand.h"
#include "console/CAliasMappingPage.h"

using CAliasMappingPageTest = ConsoleTest;

TEST_F(CAliasMappingPageTest, AddsAndDeletesTheRowsTheCommandWrites) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, true, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, true, "bob@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("carol", "pw", false, false, "carol@example.org", 0, 1, 1, 0, 0));
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(AliasCommand::Run({"add", "bob", "carol", "Sales.Desk"}, in, out, err, false), 0) << err.str();
    const auto rows = [&](const std::string& owner) {
        return Lines("SELECT UserId, AliasName FROM Aliases WHERE aUserName = '" + owner + "'");
    };

    CAliasMappingPage page(context);
    page.SetUser("alice");
    auto* user = page.findChild<QComboBox*>("aliasUser");
    auto* alias = page.findChild<QLineEdit*>("aliasName");
    auto* add = page.findChild<QPushButton*>("addAlias");
    auto* message = page.findChild<QLabel*>("message");
    alias->setText("Sales.Desk");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(message->text(), "Select Username");
    user->setCurrentText("carol");
    alias->clear();
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(message->text(), "Enter Alias name");
    EXPECT_TRUE(rows("alice").empty());

    alias->setText("Sales.Desk");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(rows("alice"), rows("bob"));
    ASSERT_EQ(rows("alice").size(), 1u);
    auto* list = page.findChild<QTreeWidget*>("aliases");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(1), "sales.desk");
    Screenshot(page, "alias-page");

    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(page.findChild<QPushButton*>("deleteAlias"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList({"Confirm Delete Operation: Are you sure you want to delete the selected User-Alias"}));
    EXPECT_TRUE(rows("alice").empty());
    EXPECT_EQ(list->topLevelItemCount(), 0);
}
