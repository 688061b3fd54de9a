// ScheduleCheck: the ranges the schedule command, the scheduler page, the
// multiple-scheduling dialog and the gateway share, and command lines.
#include <gtest/gtest.h>

#include <string>

#include "cycle/ScheduleCheck.h"

using S = ScheduleCheck;

TEST(ScheduleCheck, TimesIntervalsAndCommandLines) {
    std::uint32_t hour = 7, minute = 7;
    for (const char* bad : {"24:00", "23:60", "9", "9:", ":30", "+9:30", "9:30x", " 9:30"})
        EXPECT_EQ(S::CheckTimeOfDay(bad, hour, minute), S::Outcome::BadTimeOfDay) << bad;
    // A fault leaves both values as they were.
    EXPECT_EQ(hour, 7u);
    EXPECT_EQ(minute, 7u);
    EXPECT_EQ(S::CheckTimeOfDay("23:59", hour, minute), S::Outcome::Ok);
    EXPECT_EQ(hour, 23u);
    EXPECT_EQ(minute, 59u);
    EXPECT_EQ(S::CheckTimeOfDay("0:5", hour, minute), S::Outcome::Ok);
    EXPECT_EQ(S::CheckHour("", hour), S::Outcome::BadHour);
    EXPECT_EQ(S::CheckMinute("60", minute), S::Outcome::BadMinute);

    std::uint32_t interval = 9;
    EXPECT_EQ(S::CheckInterval("0", interval), S::Outcome::BadInterval);
    EXPECT_EQ(S::CheckInterval("3001", interval), S::Outcome::BadInterval);
    EXPECT_EQ(interval, 9u);
    EXPECT_EQ(S::CheckInterval("3000", interval), S::Outcome::Ok);
    EXPECT_EQ(interval, 3000u);

    EXPECT_EQ(S::CheckCommand("  ", true), S::Outcome::NoCommand);
    EXPECT_EQ(S::CheckCommand("", false), S::Outcome::Ok);
    // Not run, but still one line of the file.
    EXPECT_EQ(S::CheckCommand("\t", false), S::Outcome::ControlCharacter);
    EXPECT_EQ(S::CheckCommand("a\nb", true), S::Outcome::ControlCharacter);
    EXPECT_EQ(S::CheckCommand(std::string(1024, 'x'), true), S::Outcome::Ok);
    EXPECT_EQ(S::CheckCommand(std::string(1025, 'x'), false), S::Outcome::CommandTooLong);
}
