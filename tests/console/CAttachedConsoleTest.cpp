// `velmora console`: without a server or a display the program says so and
// exits 1; attached to a real headless `velmora run` (offscreen), the
// console lists the server's accounts from its own connection, its
// Send/Receive runs a cycle in the server, and its Quit leaves the server
// running.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <sstream>
#include <thread>

#include "E2eSupport.h"
#include "console/CAttachedConsole.h"
#include "console/CConsoleMessageBox.h"
#include "console/CMainWindow.h"
#include "console/CRemoteCycleControl.h"

namespace {

// Runs the event loop until done() holds; false after a minute.
template <typename Done>
bool WaitFor(Done done) {
    return WaitUntil(
        [&] {
            QCoreApplication::processEvents();
            return done();
        },
        std::chrono::seconds(60));
}

TEST(CAttachedConsoleTest, AttachesToAHeadlessServerListsItsAccountsAndRunsACycleThere) {
    MailHome home;
    ASSERT_TRUE(home.Setup());
    ASSERT_TRUE(home.AddAccount("alice"));
    ASSERT_TRUE(home.AddAccount("bob"));
    const int port = FreePort();
    ASSERT_TRUE(home.SetDword("Ports", "SMTP Port", static_cast<std::uint32_t>(port)));
    ASSERT_TRUE(home.SetDword("Preferences", "SendReceiveTick", 20));

    const std::vector<std::string> console = {VelmoraProgram(), "--home", home.Path(), "console"};
    RunResult r = RunProgram(console, std::chrono::seconds(60), {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("velmora console: no server is running on the home " + home.Path()), std::string::npos)
        << r.output;
    r = RunProgram(console, std::chrono::seconds(60), {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("velmora console: there is no display"), std::string::npos) << r.output;

    ServerProcess server;
    ASSERT_TRUE(server.Start(home.Path(), home.File("server.out")));
    ASSERT_TRUE(server.WaitServing()) << server.Output();

    CConsoleMessageBox::Script(true);
    {
        CAttachedConsole attached(home.Path());
        std::ostringstream err;
        ASSERT_TRUE(attached.Open(err)) << err.str();
        CMainWindow& window = *attached.Window();
        window.show();
        QTest::mouseClick(window.findChild<QPushButton*>("commandLogin"), Qt::LeftButton);
        QTest::keyClicks(window.findChild<QLineEdit*>("loginUserName"), "postmaster");
        QTest::keyClicks(window.findChild<QLineEdit*>("loginPassword"), "postmaster1");
        QTest::mouseClick(window.findChild<QPushButton*>("login"), Qt::LeftButton);
        auto* users = window.findChild<QListWidget*>("userList");
        ASSERT_NE(users, nullptr);
        EXPECT_EQ(users->findItems("alice", Qt::MatchExactly).size(), 1);
        EXPECT_EQ(users->findItems("bob", Qt::MatchExactly).size(), 1);

        // Send/Receive runs in the server; the console follows it by polling.
        auto* sendReceive = window.findChild<QPushButton*>("commandSendReceive");
        ASSERT_TRUE(sendReceive->isEnabled());
        QTest::mouseClick(sendReceive, Qt::LeftButton);
        auto* field = window.findChild<QLineEdit*>("statusField");
        ASSERT_TRUE(WaitFor([&] {
            const CCycleStatus::Snapshot s = attached.Control()->Status();
            return !s.busy && s.cyclesCompleted >= 1 && field->text() == "Send and Receive Completed";
        })) << field->text().toStdString();
        EXPECT_NE(home.Velmora({"status"}).output.find("idle; 1 completed"), std::string::npos);

        QSignalSpy quits(&window, &CMainWindow::quitRequested);
        window.Quit();
        EXPECT_EQ(quits.count(), 1);
    }
    CConsoleMessageBox::Unscript();
    // Closing the console left the server serving.
    EXPECT_EQ(home.Velmora({"status"}).status, 0);
    ASSERT_TRUE(server.Signal(SIGTERM));
    EXPECT_TRUE(server.WaitExit(std::chrono::seconds(30)));
}

}  // namespace
