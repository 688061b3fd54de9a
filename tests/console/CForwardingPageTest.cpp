// The forwarding page writes the rows `velmora account forward` writes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <sstream>

#include "ConsoleTest.h"
#include "app/ForwardCommand.h"
#include "console/CForwardingPage.h"

class CForwardingPageTest : public ConsoleTest {
protected:
    std::vector<std::string> Forwards(const std::string& user) {
        const std::string id = std::to_string(AccountId(user));
        std::vector<std::string> rows =
            Lines("SELECT UserId, ServerAddr, RouteLocal, Enable FROM Forwarding WHERE aAccountId = " + id +
                  " ORDER BY UserId");
        for (const std::string& line :
             Lines("SELECT RetainForwardCopy FROM ForwardOptions WHERE aAccountId = " + id))
            rows.push_back("retain " + line);
        return rows;
    }
};

TEST_F(CForwardingPageTest, AddsAndDeletesTheRowsTheCommandWrites) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, false, "bob@example.org", 0, 1, 1, 0, 0));
    std::ostringstream out, err;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"bob", "add", "carol@example.net", "--local"}, {"bob", "add", "dave@example.com"}, {"bob", "--retain", "on"}})
        ASSERT_EQ(ForwardCommand::Run(args, out, err), 0) << err.str();

    CForwardingPage page(context);
    page.SetUser("alice");
    auto* user = page.findChild<QLineEdit*>("forwardUser");
    auto* server = page.findChild<QLineEdit*>("forwardServer");
    auto* add = page.findChild<QPushButton*>("addForward");
    user->setText("carol");
    server->setText("example.net");
    page.findChild<QCheckBox*>("useLocalSmtp")->setChecked(true);
    QTest::mouseClick(add, Qt::LeftButton);
    page.findChild<QCheckBox*>("useLocalSmtp")->setChecked(false);
    user->setText("dave");
    server->setText("example.com");
    QTest::mouseClick(add, Qt::LeftButton);
    page.findChild<QCheckBox*>("retainCopy")->setChecked(true);
    EXPECT_EQ(Forwards("alice"), Forwards("bob"));
    EXPECT_EQ(Forwards("alice").size(), 3u);
    Screenshot(page, "forwarding-page");

    // A missing server, a blank inside the user, the same target again: refused.
    user->setText("erin");
    QTest::mouseClick(add, Qt::LeftButton);
    user->setText("er in");
    server->setText("example.com");
    QTest::mouseClick(add, Qt::LeftButton);
    user->setText("DAVE");
    QTest::mouseClick(add, Qt::LeftButton);
    const QStringList shown = CConsoleMessageBox::Shown();
    ASSERT_EQ(shown.size(), 3);
    EXPECT_EQ(shown[0], "Marlowin: Enter Server Address");
    EXPECT_EQ(shown[2], "Marlowin: This forwarding address exists already");
    EXPECT_EQ(Forwards("alice").size(), 3u);

    auto* list = page.findChild<QTreeWidget*>("forwardings");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(page.findChild<QPushButton*>("deleteForward"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown().last(),
              "Confirm Delete Operation: Are you sure you want to delete the selected forwarding address");
    EXPECT_EQ(Forwards("alice").size(), 2u);
    EXPECT_EQ(list->topLevelItemCount(), 1);
}
