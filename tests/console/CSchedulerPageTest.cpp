// The scheduler page writes "Schedule.stg" byte for byte as the schedule
// command writes the same choices, and refuses an interval out of range.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>
#include <sstream>

#include "ConsoleTest.h"
#include "app/ScheduleCommand.h"
#include "console/CSchedulerPage.h"
#include "cycle/CScheduleSettings.h"

class CSchedulerPageTest : public ConsoleTest {
protected:
    // The file the command writes for args, starting from no file.
    std::string CommandWrites(const std::vector<std::string>& args) {
        std::filesystem::remove(CScheduleSettings::kFileName);
        std::ostringstream out, err;
        EXPECT_EQ(ScheduleCommand::Run(args, out, err), 0) << err.str();
        return TestHome::ReadFile(CScheduleSettings::kFileName);
    }
    std::string PageWrites(const std::function<void(CSchedulerPage&)>& choose) {
        std::filesystem::remove(CScheduleSettings::kFileName);
        CSchedulerPage page(context);
        choose(page);
        page.findChild<QPushButton*>("update")->click();
        return TestHome::ReadFile(CScheduleSettings::kFileName);
    }
};

TEST_F(CSchedulerPageTest, UpdateWritesWhatTheScheduleCommandWrites) {
    const auto click = [](CSchedulerPage& page, const char* name) {
        page.findChild<QAbstractButton*>(name)->click();
    };
    const auto type = [](CSchedulerPage& page, const char* name, const QString& text) {
        page.findChild<QLineEdit*>(name)->setText(text);
    };
    const std::string every = PageWrites([&](CSchedulerPage& page) {
        click(page, "automatic");
        click(page, "every");
        type(page, "interval", "15");
    });
    EXPECT_EQ(every.size(), CScheduleSettings::kFileBytes);
    EXPECT_EQ(every, CommandWrites({"set", "--mode", "every", "--interval", "15", "--automatic"}));

    const std::string at = PageWrites([&](CSchedulerPage& page) {
        click(page, "automatic");
        click(page, "at");
        type(page, "hour", "9");
        type(page, "minute", "30");
        click(page, "monday");
        click(page, "wednesday");
    });
    EXPECT_EQ(at, CommandWrites({"set", "--mode", "at", "--time", "09:30", "--weekdays", "mon,wed", "--automatic"}));

    const std::string complex = PageWrites([&](CSchedulerPage& page) { click(page, "complex"); });
    EXPECT_EQ(complex, CommandWrites({"set", "--mode", "complex", "--manual"}));

    // The page shows the file it finds.
    CSchedulerPage page(context);
    EXPECT_TRUE(page.findChild<QRadioButton*>("manual")->isChecked());
    EXPECT_TRUE(page.findChild<QRadioButton*>("complex")->isChecked());
    Screenshot(page, "scheduler-page");

    click(page, "automatic");
    click(page, "every");
    type(page, "interval", "3001");
    click(page, "update");
    EXPECT_EQ(CConsoleMessageBox::Shown(), QStringList{"Marlowin: Please Enter the Interval from 1 to 3000 Minutes"});
    EXPECT_EQ(TestHome::ReadFile(CScheduleSettings::kFileName), complex);
}
