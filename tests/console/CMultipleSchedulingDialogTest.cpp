// The "Multiple Scheduling" dialog writes "Schedule.txt" as the schedule
// command writes the same entries, refuses a second entry at a day and
// time, and updates and deletes the chosen row.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <filesystem>
#include <sstream>

#include "ConsoleTest.h"
#include "app/ScheduleCommand.h"
#include "console/CMultipleSchedulingDialog.h"
#include "cycle/CScheduleTable.h"

class CMultipleSchedulingDialogTest : public ConsoleTest {
protected:
    void Choose(const QString& days, const QString& hour, const QString& minute, bool send, const QString& event) {
        dialog->findChild<QComboBox*>("days")->setCurrentText(days);
        dialog->findChild<QLineEdit*>("hour")->setText(hour);
        dialog->findChild<QLineEdit*>("minute")->setText(minute);
        dialog->findChild<QCheckBox*>("sendReceive")->setChecked(send);
        dialog->findChild<QCheckBox*>("executeEvent")->setChecked(!event.isEmpty());
        dialog->findChild<QLineEdit*>("event")->setText(event);
    }
    void Click(const char* name) { QTest::mouseClick(dialog->findChild<QPushButton*>(name), Qt::LeftButton); }
    std::string File() { return TestHome::ReadFile(CScheduleTable::kFileName); }
    std::unique_ptr<CMultipleSchedulingDialog> dialog;
};

TEST_F(CMultipleSchedulingDialogTest, EditsTheWeeklyTableAsTheCommandDoes) {
    dialog = std::make_unique<CMultipleSchedulingDialog>();
    Choose("Week Days", "9", "30", true, "");
    Click("add");
    Choose("Sunday", "23", "5", false, "x");
    CMultipleSchedulingDialog::ScriptFilePicker([] { return QString("/usr/bin/backup"); });
    Click("select");
    CMultipleSchedulingDialog::ScriptFilePicker(nullptr);
    EXPECT_EQ(dialog->findChild<QLineEdit*>("event")->text(), "/usr/bin/backup");
    dialog->findChild<QLineEdit*>("event")->setText("/usr/bin/backup  --all  now");
    Click("add");
    const std::string byDialog = File();

    std::filesystem::remove(CScheduleTable::kFileName);
    std::ostringstream out, err;
    ASSERT_EQ(ScheduleCommand::Run({"add", "--days", "weekdays", "--at", "09:30", "--send-receive"}, out, err), 0);
    ASSERT_EQ(ScheduleCommand::Run({"add", "--days", "sun", "--at", "23:05", "--run", "/usr/bin/backup  --all  now"},
                                   out, err),
              0)
        << err.str();
    EXPECT_EQ(byDialog, File());

    dialog = std::make_unique<CMultipleSchedulingDialog>();
    auto* rows = dialog->findChild<QTreeWidget*>("schedules");
    ASSERT_EQ(rows->topLevelItemCount(), 6);
    EXPECT_EQ(rows->topLevelItem(0)->text(0), "Mon , ");
    Screenshot(*dialog, "multiple-scheduling-dialog");

    // Wednesday at 09:30 exists already, among the other week days.
    Choose("All Days", "9", "30", true, "");
    Click("add");
    EXPECT_EQ(CConsoleMessageBox::Shown(),
              QStringList{"Schedule Exist: This Schedule already exists, so can't Add same schedule"});
    EXPECT_EQ(File(), byDialog);
    Choose("Monday", "9", "30", false, "");
    Click("add");
    EXPECT_EQ(CConsoleMessageBox::Shown().size(), 2);

    // Monday's row moves to 10:00; Sunday's goes.
    rows->setCurrentItem(rows->topLevelItem(0));
    dialog->findChild<QLineEdit*>("hour")->setText("10");
    Click("update");
    rows->setCurrentItem(rows->topLevelItem(5));
    Click("delete");
    CScheduleTable table;
    ASSERT_TRUE(table.Load(CScheduleTable::kFileName));
    EXPECT_EQ(table.days[0], (std::vector<CScheduleTable::Entry>{{10, 30, true, false, ""}}));
    EXPECT_EQ(table.days[1].size(), 1u);
    EXPECT_TRUE(table.days[6].empty());

    // A table that is there but cannot be read is not written over.
    std::filesystem::remove(CScheduleTable::kFileName);
    std::filesystem::create_directory(CScheduleTable::kFileName);
    Choose("Friday", "8", "0", true, "");
    Click("add");
    EXPECT_EQ(CConsoleMessageBox::Shown().back(), "Marlowin: Schedule.txt could not be read");
    EXPECT_TRUE(std::filesystem::is_directory(CScheduleTable::kFileName));
}
