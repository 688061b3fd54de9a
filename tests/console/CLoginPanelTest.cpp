// The login panel: each answer of the login check, and the signal that
// opens the administrator's or the user's view.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "ConsoleTest.h"
#include "console/CLoginPanel.h"

using CLoginPanelTest = ConsoleTest;

TEST_F(CLoginPanelTest, WrongThenRightPassword) {
    ASSERT_TRUE(db.CreateAccount("root2", "Adm1n", false, true, "root2@example.org", 0, 1, 1, 0, 0));
    ASSERT_TRUE(db.CreateAccount("ursula", "pw", false, false, "ursula@example.org", 0, 1, 1, 0, 0));
    CLoginPanel panel(context);
    QSignalSpy logins(&panel, &CLoginPanel::loggedIn);
    auto attempt = [&](const QString& name, const QString& password) {
        panel.Prepare();
        QTest::keyClicks(panel.findChild<QLineEdit*>("loginUserName"), name);
        QTest::keyClicks(panel.findChild<QLineEdit*>("loginPassword"), password);
        QTest::mouseClick(panel.findChild<QPushButton*>("login"), Qt::LeftButton);
        return panel.findChild<QLabel*>("loginMessage")->text();
    };
    EXPECT_EQ(attempt("nobody", "x"), "Invalid Login name");
    EXPECT_EQ(attempt("root2", "adm1n"), "Invalid Password");
    EXPECT_EQ(attempt("root2'--", "x"), "Invalid Login name");
    EXPECT_EQ(logins.count(), 0);
    EXPECT_EQ(attempt("ursula", "pw"), "You have successfully logged in as User");
    EXPECT_EQ(attempt("root2", "Adm1n"), "You have successfully logged in as Administrator");
    ASSERT_EQ(logins.count(), 2);
    EXPECT_EQ(logins.at(0), QVariantList({QString("ursula"), false}));
    EXPECT_EQ(logins.at(1), QVariantList({QString("root2"), true}));
    panel.Prepare();
    Screenshot(panel, "login");
}
