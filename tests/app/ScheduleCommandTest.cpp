// velmora schedule add, delete and list on the weekly table: the file
// written byte for byte, the dialog's duplicate refusal, and bad input.
#include <gtest/gtest.h>

#include <sstream>

#include "TestHome.h"
#include "app/ScheduleCommand.h"
#include "cycle/CScheduleTable.h"

namespace {

int Schedule(std::vector<std::string> args, std::string* errText = nullptr) {
    std::ostringstream out, err;
    const int rc = ScheduleCommand::Run(args, out, err);
    if (errText) *errText = err.str();
    return rc;
}

}  // namespace

TEST(ScheduleCommand, KeepsTheWeeklyTableFileAndRefusesADuplicate) {
    TestHome home;
    const std::string file = home.File("Schedule.txt");
    EXPECT_EQ(Schedule({"add", "--days", "weekdays", "--at", "09:30", "--send-receive"}), 0);
    EXPECT_EQ(Schedule({"add", "--days", "sun", "--at", "18:05", "--run", "/opt/backup.sh alpha  beta"}), 0);
    EXPECT_EQ(TestHome::ReadFile(file),
              "0:9:30:T:F:\n1:9:30:T:F:\n2:9:30:T:F:\n3:9:30:T:F:\n4:9:30:T:F:\n"
              "6:18:5:F:T:/opt/backup.sh alpha  beta\n");

    std::string err;
    EXPECT_EQ(Schedule({"add", "--days", "fri,Saturday", "--at", "9:30", "--send-receive"}, &err), 1);
    EXPECT_EQ(err, std::string("velmora schedule: ") + CScheduleTable::kExistsText + "\n");
    EXPECT_EQ(Schedule({"add", "--days", "mon", "--at", "24:00", "--send-receive"}, &err), 1);
    EXPECT_EQ(Schedule({"add", "--days", "someday", "--at", "10:00", "--send-receive"}, &err), 1);
    EXPECT_EQ(Schedule({"add", "--days", "mon", "--at", "10:00", "--run", "a\nb"}, &err), 1);
    EXPECT_EQ(Schedule({"add", "--days", "mon", "--at", "10:00"}, &err), 64) << "neither a cycle nor a command";

    EXPECT_EQ(Schedule({"delete", "--days", "mon,tue", "--at", "09:30"}), 0);
    EXPECT_EQ(Schedule({"delete", "--days", "mon", "--at", "09:30"}, &err), 1);
    EXPECT_EQ(TestHome::ReadFile(file),
              "2:9:30:T:F:\n3:9:30:T:F:\n4:9:30:T:F:\n"
              "6:18:5:F:T:/opt/backup.sh alpha  beta\n");
    EXPECT_EQ(Schedule({"set", "--interval", "3001"}, &err), 1);
    EXPECT_EQ(Schedule({"set", "--mode", "sometimes"}, &err), 1);
}
