// The Netware page writes the row `velmora account netware` writes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <sstream>

#include "ConsoleTest.h"
#include "app/NetwareCommand.h"
#include "console/CNetwarePage.h"

class CNetwarePageTest : public ConsoleTest {
protected:
    std::vector<std::string> Row(const std::string& user) {
        return Lines("SELECT IsNetware, MailPath, UserName, Domain, LeaveCopy FROM Netware WHERE aAccountId = " +
                     std::to_string(AccountId(user)));
    }
};

TEST_F(CNetwarePageTest, SavesTheCommandsRowAndTurnsTheExchangeOff) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, false, "bob@example.org", 0, 1, 1, 0, 0));
    const std::string dir = home.Path() + "/netware 'mail'";
    std::ostringstream out, err;
    ASSERT_EQ(NetwareCommand::Run({"bob", "--dir", dir, "--address", "nw.user@nw.example.org", "--leave-copy"}, out,
                                  err),
              0)
        << err.str();

    CNetwarePage page(context);
    page.SetUser("bob");
    auto* directory = page.findChild<QLineEdit*>("netwareDirectory");
    auto* address = page.findChild<QLineEdit*>("netwareAddress");
    auto* save = page.findChild<QPushButton*>("saveNetware");
    EXPECT_EQ(directory->text().toStdString(), dir);
    EXPECT_EQ(address->text(), "nw.user@nw.example.org");
    EXPECT_TRUE(page.findChild<QCheckBox*>("leaveCopy")->isChecked());

    page.SetUser("alice");
    EXPECT_EQ(page.findChild<QLabel*>("netwareTitle")->text(), "alice on Netware");
    directory->setText(QString::fromStdString("  " + dir + " "));
    address->setText("nw.user");
    QTest::mouseClick(save, Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList({"Tessal Netware Gateway: Please enter a valid Internet Email Address"}));
    EXPECT_TRUE(Row("alice").empty());
    address->setText("nw.user@nw.example.org");
    page.findChild<QCheckBox*>("leaveCopy")->setChecked(true);
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_EQ(Row("alice").size(), 1u);
    EXPECT_EQ(Row("alice"), Row("bob"));
    Screenshot(page, "netware-page");

    directory->clear();
    QTest::mouseClick(save, Qt::LeftButton);
    EXPECT_TRUE(Row("alice").empty());
    EXPECT_EQ(page.findChild<QLabel*>("message")->text(), "Netware exchange turned off");
}
