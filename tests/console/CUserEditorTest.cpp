// The user editor: every check's message in order, and the account it
// creates, alters and deletes is the one `velmora account` would make.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <sstream>

#include "ConsoleTest.h"
#include "foundation/CAccountRows.h"
#include "app/AccountCommand.h"
#include "console/CUserEditor.h"

namespace {

class CUserEditorTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        editor = std::make_unique<CUserEditor>(context);
    }
    void Type(const char* field, const QString& text) {
        auto* edit = editor->findChild<QLineEdit*>(field);
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    void Fill(const QString& name, const QString& password, const QString& confirmation) {
        Type("userName", name);
        Type("password", password);
        Type("confirmPassword", confirmation);
    }
    QString Press(const char* button) {
        QTest::mouseClick(editor->findChild<QPushButton*>(button), Qt::LeftButton);
        return editor->findChild<QLabel*>("message")->text();
    }
    void Select(const QString& name) {
        auto* list = editor->findChild<QListWidget*>("userList");
        const QList<QListWidgetItem*> items = list->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1);
        list->setCurrentItem(items[0]);
    }
    // An account's rows apart from its id, name, password and mailbox name.
    std::vector<std::string> AccountRows(const std::string& name) {
        const std::string id = Rows("SELECT aAccountId FROM Accounts WHERE aUserName = '" + name + "'").at(0).at(0);
        std::vector<std::string> rows = Lines("SELECT aIsGroup, aIsAlive, aIsAdmin, RecvMailSizeLimit FROM Accounts "
                                              "WHERE aAccountId = " + id);
        for (const char* table : {"MailSizeControl", "AccessControl"})
            for (std::string line : Lines(std::string("SELECT * FROM ") + table + " WHERE aAccountId = " + id))
                rows.push_back(line.substr(line.find('|')));
        for (const std::string& line : Lines("SELECT * FROM FolderMapping WHERE aAccountId = " + id))
            rows.push_back(line.substr(line.find('|')));
        return rows;
    }
    std::unique_ptr<CUserEditor> editor;
};

TEST_F(CUserEditorTest, CreateChecksInOrderAndMakesWhatTheShellMakes) {
    EXPECT_EQ(Press("createUser"), "Please enter UserName");
    Fill("bob", "", "");
    EXPECT_EQ(Press("createUser"), "Please enter Password");
    Fill("bob", "secret", "");
    EXPECT_EQ(Press("createUser"), "Please confirm Password");
    Fill("bob", "secret", "secreT");
    EXPECT_EQ(Press("createUser"), "Entered Passwords do not match");
    Fill("bob", "secret", "secret");
    EXPECT_EQ(Press("createUser"), "Please Enter User's Email Address in Identity");
    Type("email", "bob@example.org");
    Type("receiveLimit", "12x");
    EXPECT_EQ(Press("createUser"), "The size limits are numbers of kilobytes, 0 to 2147483647");
    Type("receiveLimit", "0");
    // A name longer than the column is refused, not cut.
    Fill(QString(65, 'b'), "secret", "secret");
    EXPECT_TRUE(Press("createUser").startsWith("Invalid UserName")) << Press("createUser").toStdString();
    Fill("bob", "secret", "secret");
    EXPECT_EQ(Press("createUser"), "User created");
    EXPECT_TRUE(editor->findChild<QLineEdit*>("userName")->text().isEmpty());
    Fill("BOB", "other", "other");
    EXPECT_EQ(Press("createUser"), "User already exists");

    std::ostringstream out, err;
    std::istringstream in;
    ASSERT_EQ(AccountCommand::Run({"add", "carol", "--email", "bob@example.org", "--password", "secret"}, in, out, err,
                                  false),
              0)
        << err.str();
    EXPECT_EQ(AccountRows("bob"), AccountRows("carol"));
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "bob", "secret"), CAccountRows::LoginResult::User);
    Screenshot(*editor, "user-editor");
}

TEST_F(CUserEditorTest, AlterAndDeleteFollowTheEditorsRules) {
    ASSERT_TRUE(db.CreateAccount("postmaster", "pm", false, true, "postmaster@127.0.0.1", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("dora", "pw1", false, false, "dora@example.org", 0, 1, 1, 0, 0));
    editor->Reload();

    Fill("", "", "");
    EXPECT_EQ(Press("alterUser"), "Please select UserName");
    Fill("nobody", "x", "x");
    EXPECT_EQ(Press("alterUser"), "No such User");
    Select("dora");
    Fill("dora", "pw1", "pw1");
    EXPECT_EQ(Press("alterUser"), "User already exists");  // nothing to change
    Fill("dora", "pw2", "pw2");
    EXPECT_EQ(Press("alterUser"), "User altered");
    EXPECT_EQ(CAccountRows::CheckLogin(db.GetConnectionHandle(), "dora", "pw2"), CAccountRows::LoginResult::User);

    // postmaster is the only administrator: neither demoted nor deleted.
    Select("postmaster");
    Fill("postmaster", "new", "new");
    editor->findChild<QCheckBox*>("admin")->setChecked(false);
    Press("alterUser");
    Press("deleteUser");
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList({"Abort Alter Operation: Selected user is the only administrator and so cannot revoke "
                           "admin privelege",
                           "Abort Delete Operation: Selected user is the only administrator and so cannot be "
                           "deleted"}));

    Select("dora");
    Fill("dora", "wrong", "");
    EXPECT_EQ(Press("deleteUser"), "User does not exist");
    Fill("dora", "pw2", "");
    EXPECT_EQ(Press("deleteUser"), "User deleted");
    EXPECT_TRUE(Rows("SELECT * FROM Accounts WHERE aUserName = 'dora'").empty());
    EXPECT_TRUE(CConsoleMessageBox::Shown().contains("Confirm Delete Operation: Are you sure you want to delete the "
                                                     "selected user"));
}

}  // namespace
