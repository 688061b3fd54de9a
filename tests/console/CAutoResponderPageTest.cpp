// The auto-responder page writes the file and row `velmora account
// autoresponse` writes, byte for byte, and turns the reply off again.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ConsoleTest.h"
#include "app/AutoResponseCommand.h"
#include "app/CommandSupport.h"
#include "console/CAutoResponderPage.h"
#include "delivery/CAutoResponder.h"

namespace {
std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
}  // namespace

class CAutoResponderPageTest : public ConsoleTest {
protected:
    std::string TextPath(const std::string& user) {
        return CAutoResponder::TextFilePath(CommandSupport::MailDirectory(),
                                            Text("SELECT aMailBox FROM Accounts WHERE aUserName = '" + user + "'"));
    }
    std::string Row(const std::string& user) {
        return Text("SELECT count(*) FROM AutoResponder WHERE aAccountId = " + std::to_string(AccountId(user)));
    }
};

TEST_F(CAutoResponderPageTest, SavesTheCommandsBytesAndTurnsTheReplyOff) {
    ASSERT_TRUE(db.CreateAccount("alice", "pw", false, false, "alice@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("bob", "pw", false, false, "bob@example.org", 0, 1, 1, 0, 0));
    const std::string reply = "Away until Monday.\r\nCaf\xE9 closed 'til then.\r\n";
    { std::ofstream("reply.txt", std::ios::binary) << reply; }
    std::ostringstream out, err;
    ASSERT_EQ(AutoResponseCommand::Run({"bob", "--text-file", "reply.txt"}, out, err), 0) << err.str();

    CAutoResponderPage page(context);
    page.SetUser("bob");
    auto* editor = page.findChild<QPlainTextEdit*>("autoResponseText");
    EXPECT_EQ(editor->toPlainText(), QString::fromUtf8("Away until Monday.\nCaf\u00e9 closed 'til then.\n"));
    EXPECT_EQ(page.findChild<QLabel*>("autoResponseTitle")->text(), "bob-AutoResponse");

    page.SetUser("alice");
    EXPECT_TRUE(editor->toPlainText().isEmpty());
    editor->setPlainText(QString::fromUtf8("Away until Monday.\nCaf\u00e9 closed 'til then.\n"));
    QTest::mouseClick(page.findChild<QPushButton*>("saveAutoResponse"), Qt::LeftButton);
    EXPECT_EQ(FileText(TextPath("alice")), reply);
    EXPECT_EQ(Row("alice"), "1");
    Screenshot(page, "autoresponder-page");

    // A character the reply's charset cannot carry: refused, the file as it was.
    editor->setPlainText(QString::fromUtf8("Costs 5 \u20ac"));
    QTest::mouseClick(page.findChild<QPushButton*>("saveAutoResponse"), Qt::LeftButton);
    ASSERT_EQ(CConsoleMessageBox::Shown().size(), 1);
    EXPECT_TRUE(CConsoleMessageBox::Shown()[0].contains("ISO-8859-1"));
    EXPECT_EQ(FileText(TextPath("alice")), reply);

    editor->clear();
    QTest::mouseClick(page.findChild<QPushButton*>("saveAutoResponse"), Qt::LeftButton);
    EXPECT_EQ(Row("alice"), "0");
    EXPECT_FALSE(std::ifstream(TextPath("alice")).is_open());
    EXPECT_EQ(page.findChild<QLabel*>("message")->text(), "AutoResponder turned off");
}
