// The connection page writes "Connect.stg" byte for byte as the connection
// command writes the same settings, refuses a retry count out of range, and
// dials and hangs up a phone-book entry without holding up the event loop.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>
#include <filesystem>
#include <sstream>

#include "ConsoleTest.h"
#include "app/ConnectionCommand.h"
#include "console/CConnectionPage.h"
#include "cycle/CConnectionSettings.h"
#include "cycle/CPhoneBook.h"

class CConnectionPageTest : public ConsoleTest {
protected:
    // Runs the event loop until the page's status line reads text.
    static bool WaitForStatus(CConnectionPage& page, const QString& text) {
        QElapsedTimer timer;
        timer.start();
        while (page.Status() != text && timer.elapsed() < 15000) QTest::qWait(20);
        return page.Status() == text;
    }
};

TEST_F(CConnectionPageTest, UpdateWritesWhatTheCommandWritesAndConnectDoesNotBlock) {
    TestHome::WriteFile(CPhoneBook::kFileName,
                        "[Backup Line]\nup = /bin/false\n\n[Office ISP]\nup = /bin/true\ndown = /bin/true\n");
    CConnectionPage page(context);
    QTest::mouseClick(page.findChild<QRadioButton*>("dialUp"), Qt::LeftButton);
    page.findChild<QComboBox*>("connectionName")->setCurrentText("Office ISP");
    page.findChild<QLineEdit*>("userName")->setText("office");
    page.findChild<QLineEdit*>("password")->setText("pa'ss\\word");
    page.findChild<QLineEdit*>("interval")->setText("30");
    page.findChild<QLineEdit*>("retries")->setText("101");
    QTest::mouseClick(page.findChild<QPushButton*>("update"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList{"Marlowin: Please Enter the No. Of Retries from 1 to 100"});
    EXPECT_FALSE(std::filesystem::exists(CConnectionSettings::kFileName));

    page.findChild<QLineEdit*>("retries")->setText("3");
    QTest::mouseClick(page.findChild<QPushButton*>("update"), Qt::LeftButton);
    const std::string byPage = TestHome::ReadFile(CConnectionSettings::kFileName);
    std::filesystem::remove(CConnectionSettings::kFileName);
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(ConnectionCommand::Run({"set", "--method", "ras", "--entry", "Office ISP", "--user", "office",
                                      "--password", "pa'ss\\word", "--retries", "3", "--interval", "30"},
                                     in, out, err, false),
              0)
        << err.str();
    EXPECT_EQ(byPage, TestHome::ReadFile(CConnectionSettings::kFileName));

    // A page made again selects the stored entry; its dial and hang-up
    // report on the status line through the event loop.
    CConnectionPage again(context);
    EXPECT_EQ(again.findChild<QComboBox*>("connectionName")->currentText(), "Office ISP");
    Screenshot(again, "connection-page");
    QTest::mouseClick(again.findChild<QPushButton*>("connect"), Qt::LeftButton);
    EXPECT_TRUE(WaitForStatus(again, "Connected")) << again.Status().toStdString();
    QTest::mouseClick(again.findChild<QPushButton*>("connect"), Qt::LeftButton);
    EXPECT_EQ(again.Status(), "Call in Progress. Please try after some time");
    QTest::mouseClick(again.findChild<QPushButton*>("hangup"), Qt::LeftButton);
    EXPECT_TRUE(WaitForStatus(again, "Disconnected")) << again.Status().toStdString();
    EXPECT_TRUE(again.findChild<QPushButton*>("connect")->isEnabled());
}
