// The mappings page writes the rows `velmora popaccount` writes, and refuses
// what the command refuses.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <sstream>

#include "ConsoleTest.h"
#include "app/PopAccountCommand.h"
#include "console/CMappingsPage.h"

using CMappingsPageTest = ConsoleTest;

TEST_F(CMappingsPageTest, AddsTogglesAndDeletesTheRowsTheCommandWrites) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, false, "bob@example.org", 0, 1, 1, 0, 0));
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(PopAccountCommand::Run({"add", "bob", "pop.example.org", "carol", "--port", "995", "--password",
                                      "se cret'", "--leave-on-server"},
                                     in, out, err, false),
              0)
        << err.str();

    CMappingsPage page(context);
    page.SetUser("alice");
    page.findChild<QLineEdit*>("serverAddress")->setText("pop.example.org");
    page.findChild<QSpinBox*>("port")->setValue(995);
    page.findChild<QLineEdit*>("remoteUser")->setText("carol");
    page.findChild<QLineEdit*>("remotePassword")->setText("se cret'");
    page.findChild<QCheckBox*>("leaveOnServer")->setChecked(true);
    QTest::mouseClick(page.findChild<QPushButton*>("addMapping"), Qt::LeftButton);
    const std::string columns = "SELECT UserId, Pass, ServerAddr, LastMailId, IsLeaveMailOnServer, Port, Enable "
                                "FROM POPACCOUNTS WHERE aAccountId = ";
    const auto alice = Lines(columns + std::to_string(AccountId("alice")));
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_EQ(alice, Lines(columns + std::to_string(AccountId("bob"))));
    auto* list = page.findChild<QTreeWidget*>("mappedAccounts");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    Screenshot(page, "mappings-page");

    // The same mapping again, a missing user, an overlong server: refused, nothing written.
    QTest::mouseClick(page.findChild<QPushButton*>("addMapping"), Qt::LeftButton);
    page.findChild<QLineEdit*>("serverAddress")->setText(QString(256, 'a'));
    page.findChild<QLineEdit*>("remoteUser")->setText("dave");
    page.findChild<QLineEdit*>("remotePassword")->setText("x");
    QTest::mouseClick(page.findChild<QPushButton*>("addMapping"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList({"Marlowin: Enter Username", "Marlowin: The server address is longer than 255 characters"}));
    EXPECT_EQ(Lines(columns + std::to_string(AccountId("alice"))).size(), 1u);

    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(page.findChild<QPushButton*>("toggleMapping"), Qt::LeftButton);
    ASSERT_EQ(PopAccountCommand::Run({"disable", "bob", "pop.example.org", "carol"}, in, out, err, false), 0);
    EXPECT_EQ(Lines(columns + std::to_string(AccountId("alice"))), Lines(columns + std::to_string(AccountId("bob"))));
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(page.findChild<QPushButton*>("deleteMapping"), Qt::LeftButton);
    EXPECT_TRUE(Lines(columns + std::to_string(AccountId("alice"))).empty());
    EXPECT_EQ(list->topLevelItemCount(), 0);
}
