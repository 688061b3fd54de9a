// The gateway page leaves the settings file as `velmora gateway set` does.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ConsoleTest.h"
#include "app/GatewayCommand.h"
#include "console/CGatewayPage.h"
#include "platform/Home.h"

namespace {
std::string SettingsBytes() {
    std::ifstream file(Home::kSettingsFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
}  // namespace

using CGatewayPageTest = ConsoleTest;

TEST_F(CGatewayPageTest, UpdatesTheSettingsAsTheCommandDoes) {
    std::ostringstream out, err;
    ASSERT_EQ(GatewayCommand::Run({"set", "--every", "5"}, out, err), 0) << err.str();
    ASSERT_EQ(GatewayCommand::Run({"set", "--at", "09:30", "--outbox", "/srv/netware/out"}, out, err), 0);
    const std::string byCommand = SettingsBytes();
    ASSERT_EQ(GatewayCommand::Run({"set", "--at", "17:05", "--outbox", "/tmp"}, out, err), 0);

    CGatewayPage page(context);
    EXPECT_TRUE(page.findChild<QRadioButton*>("gatewayAt")->isChecked());
    EXPECT_EQ(page.findChild<QSpinBox*>("gatewayHour")->value(), 17);
    EXPECT_EQ(page.findChild<QSpinBox*>("gatewayEveryMinutes")->value(), 5);
    page.findChild<QSpinBox*>("gatewayHour")->setValue(9);
    page.findChild<QSpinBox*>("gatewayMinutes")->setValue(30);
    page.findChild<QLineEdit*>("outboxDirectory")->setText("/srv/netware/out");
    QTest::mouseClick(page.findChild<QPushButton*>("updateGateway"), Qt::LeftButton);
    EXPECT_EQ(page.findChild<QLabel*>("message")->text(), "Gateway updated");
    EXPECT_EQ(SettingsBytes(), byCommand);
    Screenshot(page, "gateway-page");

    page.findChild<QLineEdit*>("outboxDirectory")->setText(QString(260, 'd'));
    QTest::mouseClick(page.findChild<QPushButton*>("updateGateway"), Qt::LeftButton);
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList({"Marlowin: The directory is longer than 259 characters"}));
    EXPECT_EQ(SettingsBytes(), byCommand);
}
