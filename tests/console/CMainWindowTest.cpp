// The main window: the login gate over its commands, the clock, the tray
// icon, closing to the tray and the tray's Quit; and, with a real send and
// receive cycle, the status window filling newest first and Stop.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "ConsoleTest.h"
#include "console/CConnectDialog.h"
#include "console/CLocalCycleControl.h"
#include "console/CMainWindow.h"
#include "console/CSearchMailDialog.h"
#include "console/CSendReceiveStatus.h"
#include "cycle/CSendReceiveCycle.h"

namespace {

using CMainWindowTest = ConsoleTest;

// Runs the event loop until done() holds; false after ten seconds.
template <typename Done>
bool WaitFor(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST_F(CMainWindowTest, LoginOpensTheCommandsAndClosingHidesInTheTray) {
    ASSERT_TRUE(db.CreateAccount("ursula", "pw", false, false, "ursula@example.org", 0, 1, 1, 0, 0));
    CMainWindow window(context, nullptr);
    window.show();
    Settle();
    auto* user = window.findChild<QPushButton*>("commandUser");
    auto* server = window.findChild<QPushButton*>("commandServer");
    EXPECT_TRUE(window.windowTitle().startsWith("Marlowin - "));
    EXPECT_EQ(window.TrayIcon()->toolTip(), "Marlowin");
    EXPECT_TRUE(QRegularExpression("^ \\d+ : \\d+ : \\d+ $").match(window.findChild<QLabel*>("clock")->text()).hasMatch());
    EXPECT_FALSE(user->isEnabled());
    // The first show offers the login panel.
    auto* panels = window.findChild<QStackedWidget*>("panelArea");
    EXPECT_EQ(panels->currentWidget()->objectName(), "loginPanel");
    Screenshot(window, "main-window");

    auto login = [&](const QString& name, const QString& password) {
        QTest::mouseClick(window.findChild<QPushButton*>("commandLogin"), Qt::LeftButton);
        QTest::keyClicks(window.findChild<QLineEdit*>("loginUserName"), name);
        QTest::keyClicks(window.findChild<QLineEdit*>("loginPassword"), password);
        QTest::mouseClick(window.findChild<QPushButton*>("login"), Qt::LeftButton);
    };
    login("ursula", "pw");
    EXPECT_TRUE(user->isEnabled());
    EXPECT_FALSE(server->isEnabled());
    EXPECT_EQ(panels->currentWidget()->objectName(), "userEditor");
    EXPECT_EQ(panels->currentWidget()->findChild<QLineEdit*>("userName")->text(), "ursula");
    EXPECT_EQ(panels->currentWidget()->findChild<QLabel*>("message")->text(), "You have successfully logged in as User");
    EXPECT_FALSE(window.findChild<QPushButton*>("createUser")->isEnabled());
    // A user's mailbox listing offers its own account alone.
    auto* mailboxAccount = window.findChild<QComboBox*>("mailboxAccount");
    QTest::mouseClick(window.findChild<QPushButton*>("commandMailbox"), Qt::LeftButton);
    EXPECT_EQ(panels->currentWidget(), mailboxAccount->parentWidget());
    ASSERT_EQ(mailboxAccount->count(), 1);
    EXPECT_EQ(mailboxAccount->currentText(), "ursula");

    ASSERT_TRUE(db.CreateAccount("root2", "Adm1n", false, true, "root2@example.org", 0, 1, 1, 0, 0));
    login("root2", "Adm1n");
    EXPECT_TRUE(server->isEnabled());
    EXPECT_TRUE(window.findChild<QPushButton*>("createUser")->isEnabled());
    Screenshot(window, "main-window-user-editor");
    QTest::mouseClick(window.findChild<QPushButton*>("commandMailbox"), Qt::LeftButton);
    EXPECT_GT(mailboxAccount->count(), 2);
    QTest::mouseClick(window.findChild<QPushButton*>("commandFindMessage"), Qt::LeftButton);
    ASSERT_NE(window.findChild<CSearchMailDialog*>(), nullptr);
    EXPECT_TRUE(window.findChild<CSearchMailDialog*>()->isVisible());

    QSignalSpy quits(&window, &CMainWindow::quitRequested);
    QTest::mouseClick(window.findChild<QPushButton*>("commandClose"), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
    window.findChild<QAction*>("trayShow")->trigger();
    EXPECT_TRUE(window.isVisible());
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(quits.count(), 0);
    window.findChild<QAction*>("trayQuit")->trigger();
    EXPECT_EQ(quits.count(), 1);

    CConnectDialog dialog(&window);
    dialog.ShowStatus("Dialing office");
    Screenshot(dialog, "connect");
}

TEST_F(CMainWindowTest, StatusWindowFillsNewestFirstAndStops) {
    // The worker waits for its database until the test lets it go on.
    std::atomic<bool> release{false};
    CSendReceiveCycle cycle([&release] {
        for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return std::unique_ptr<CMailDatabase>();
    });
    ASSERT_TRUE(cycle.Start());
    {
        CLocalCycleControl control(cycle);
        CMainWindow window(context, &control);
        window.show();
        auto* status = window.findChild<CSendReceiveStatus*>("sendReceiveStatus");
        auto* field = window.findChild<QLineEdit*>("statusField");
        auto* list = status->findChild<QListWidget*>("statusList");
        cycle.PostMessage(CSendReceiveCycle::kStartCycle);  // the Send/Receive button
        ASSERT_TRUE(WaitFor([&] { return status->isVisible() && field->text() == "Sending Mails"; }));
        EXPECT_FALSE(window.findChild<QPushButton*>("commandLogin")->isEnabled());

        for (int i = 0; i < 150; ++i)
            cycle.GetStatusWindow().Post(CCycleStatus::kDetailLine, 0, "line " + std::to_string(i), 0);
        ASSERT_TRUE(WaitFor([&] { return list->count() > 0 && list->item(0)->text() == "line 149"; }));
        EXPECT_LE(list->count(), 101);
        EXPECT_EQ(list->item(1)->text(), "line 148");
        Screenshot(*status, "send-receive-status");

        QTest::mouseClick(status->findChild<QPushButton*>("stop"), Qt::LeftButton);
        EXPECT_EQ(status->findChild<QLabel*>("progressText")->text(),
                  "Finishing Current Queued Process, So Please Wait For Some Time.....");
        cycle.GetStatusWindow().Post(CCycleStatus::kDetailLine, 0, "hidden", 0);
        EXPECT_TRUE(WaitFor([&] {
            return list->item(0)->text() == "Finishing Current Queued Process, So Please wait.....";
        }));

        // The worker hides the window before the cycle finishes.
        release = true;
        EXPECT_TRUE(WaitFor([&] { return !status->isVisible() && field->text() == "Send and Receive Completed"; }));
        EXPECT_TRUE(window.findChild<QPushButton*>("commandLogin")->isEnabled());
    }
    release = true;
    cycle.Stop();
}

}  // namespace
