// The remote server accounts page stores the row the remoteaccount command
// stores for the same values, changes and deletes it, and refuses an owner
// that is no local account.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <sstream>

#include "ConsoleTest.h"
#include "app/AccountCommand.h"
#include "app/RemoteAccountCommand.h"
#include "console/CRemoteAccountsPage.h"

class CRemoteAccountsPageTest : public ConsoleTest {
protected:
    void Type(const char* name, const QString& text) { page->findChild<QLineEdit*>(name)->setText(text); }
    void Click(const char* name) { QTest::mouseClick(page->findChild<QPushButton*>(name), Qt::LeftButton); }
    std::vector<std::string> Stored() { return Lines("SELECT * FROM RemoteServerAccounts"); }
    std::unique_ptr<CRemoteAccountsPage> page;
};

TEST_F(CRemoteAccountsPageTest, AddChangeDeleteAsTheCommandDoes) {
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(AccountCommand::Run({"add", "alice", "--password", "pw", "--email", "alice@x.org"}, in, out, err, false),
              0)
        << err.str();
    page = std::make_unique<CRemoteAccountsPage>(context);
    Type("name", "office");
    Type("owner", "nobody-here");
    Type("server", "pop.example.org");
    Type("port", "995");
    Type("remoteUser", "shared");
    Type("password", "it's");
    page->findChild<QCheckBox*>("leaveOnServer")->setChecked(true);
    page->findChild<QCheckBox*>("alias")->setChecked(true);
    Type("aliasAddress", "Example.ORG");
    Click("add");
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList{"Marlowin: Please Enter the User Name of a local account"});
    EXPECT_TRUE(Stored().empty());

    Type("owner", "alice");
    Click("add");
    const std::vector<std::string> byPage = Stored();
    ASSERT_EQ(byPage.size(), 1u) << CConsoleMessageBox::Shown().join('\n').toStdString();
    ASSERT_TRUE(Exec("DELETE FROM RemoteServerAccounts"));
    ASSERT_EQ(RemoteAccountCommand::Run(
                  {"add", "office", "--owner", "alice", "--server", "pop.example.org", "--port", "995", "--user",
                   "shared", "--password", "it's", "--leave-on-server", "--alias", "Example.ORG"},
                  in, out, err, false),
              0)
        << err.str();
    EXPECT_EQ(Stored(), byPage);

    page->Reload();
    auto* list = page->findChild<QTreeWidget*>("accounts");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_EQ(page->findChild<QLineEdit*>("server")->text(), "pop.example.org");
    Screenshot(*page, "remote-server-accounts-page");
    Type("server", "pop2.example.org");
    page->findChild<QCheckBox*>("alias")->setChecked(false);
    Click("update");
    EXPECT_EQ(Lines("SELECT ServerAddr, Alias FROM RemoteServerAccounts WHERE ServerName = 'office'"),
              std::vector<std::string>{"pop2.example.org|0"});

    list->setCurrentItem(list->topLevelItem(0));
    Click("delete");
    EXPECT_EQ(CConsoleMessageBox::Shown().last(),
              "Confirm Delete Operation: Are you sure you want to delete the selected Remote Account");
    EXPECT_TRUE(Stored().empty());
}
