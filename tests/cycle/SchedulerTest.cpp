// The scheduler on its tick with a set clock: mode 1 at 09:30 on chosen
// weekdays, mode 2 on every fifteenth tick and its count restarted by a new
// state, mode 3 from a table file whose entry runs a command (split at
// blanks, no shell) before its cycle, a command not started twice, and the
// cycle started by a due entry after its command.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "TestHome.h"
#include "TestPeers.h"
#include "app/ScheduleCommand.h"
#include "cycle/CScheduler.h"
#include "cycle/CSendReceiveCycle.h"
#include "foundation/CMailDatabase.h"
#include "foundation/SettingsCatalogue.h"

namespace {

// wday 0 Sunday; the day of the year follows it, so each day is its own.
std::tm At(int wday, int hour, int minute) {
    std::tm t{};
    t.tm_year = 126, t.tm_yday = 100 + wday, t.tm_wday = wday, t.tm_hour = hour, t.tm_min = minute;
    return t;
}

int Schedule(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = ScheduleCommand::Run(args, out, err);
    EXPECT_EQ(rc, 0) << err.str();
    return rc;
}

// A script that writes its argument count and arguments to NAME.out.
std::string RecordingScript(const TestHome& home, const std::string& name, const std::string& extra = "") {
    const std::string path = home.File(name);
    TestHome::WriteFile(path, "#!/bin/sh\n" + extra + "printf '%s|' \"$#\" \"$@\" > \"$0.out\"\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

}  // namespace

TEST(CScheduler, AtNineThirtyOnTheChosenWeekdaysAndEveryFifteenthTick) {
    TestHome home;
    std::tm now = At(2, 9, 29);
    CScheduler scheduler([&] { return now; });
    scheduler.Refresh();
    EXPECT_FALSE(scheduler.IsDue()) << "nothing is due before the scheduler is enabled";

    Schedule({"set", "--mode", "at", "--time", "09:30", "--weekdays", "tue,thu", "--automatic"});
    // settings changed, at chosen, enabled, Sunday..Saturday, interval, hour, minute, mode, reserved
    const std::uint32_t numbers[15] = {1, 1, 1, 0, 0, 1, 0, 1, 0, 0, 55, 9, 30, 1, 0};
    EXPECT_EQ(TestHome::ReadFile(home.File("Schedule.stg")), std::string(reinterpret_cast<const char*>(numbers), 60));
    scheduler.Refresh();
    std::string pattern;
    for (std::tm t :
         {At(2, 9, 29), At(2, 9, 30), At(2, 9, 30), At(2, 9, 31), At(3, 9, 30), At(4, 9, 30), At(0, 9, 30)}) {
        now = t;
        pattern += scheduler.IsDue() ? 'D' : '.';
        EXPECT_FALSE(scheduler.EventDue());
    }
    EXPECT_EQ(pattern, ".D...D.") << "Tuesday and Thursday, once in the minute";

    Schedule({"set", "--mode", "every", "--interval", "15"});
    const auto ticks = [&](int n) {
        std::string p;
        for (int i = 0; i < n; ++i) p += scheduler.OnTimer() ? 'D' : '.';
        return p;
    };
    const std::string fifteen = std::string(14, '.') + "D";
    EXPECT_EQ(ticks(45), fifteen + fifteen + fifteen);
    EXPECT_EQ(ticks(7), std::string(7, '.'));
    Schedule({"set", "--interval", "15"});  // Update restarts the count
    EXPECT_EQ(ticks(15), fifteen);
    EXPECT_EQ(scheduler.IsRunning(), true);
    scheduler.RunFinished();
    EXPECT_FALSE(scheduler.IsRunning());
}

TEST(CScheduler, WeeklyTableRunsTheCommandSplitAtBlanksThenAsksForTheCycle) {
    TestHome home;
    const std::string record = RecordingScript(home, "record.sh");
    const std::string hold =
        RecordingScript(home, "hold.sh", "while [ ! -e \"$0.go\" ]; do sleep 0.02; done\necho x >> \"$0.runs\"\n");
    TestHome::WriteFile(home.File("Schedule.txt"),
                        "12345:9:30:T:x\r\n"  // Tuesday to Saturday, nothing run
                        "\n789:9:31:T:T:" +
                            record +
                            " never\n"  // no day: no entry
                            "6:18:5:T:T:  " +
                            record +
                            " alpha  beta  \n"  // Sunday
                            "6:18:6:F:T:no-such-program-here arg\n"
                            "6:18:7:T:T:" +
                            hold + "\n6:18:8:F:T:" + hold +
                            "\n6:18:9:T:F:\n"
                            "6:18");  // no ":" after the hour: 18:00, nothing
    std::tm now = At(1, 9, 30);
    CScheduler scheduler([&] { return now; });
    Schedule({"set", "--mode", "complex", "--automatic"});

    std::string pattern;
    for (int wday = 0; wday < 7; ++wday) {
        now = At(wday, 9, 30);
        pattern += scheduler.OnTimer() ? 'D' : '.';
        now = At(wday, 9, 31);
        pattern += scheduler.OnTimer() ? 'D' : '.';
    }
    EXPECT_EQ(pattern, "....D.D.D.D.D.") << "09:30 Tuesday to Saturday, 09:31 never";
    EXPECT_FALSE(scheduler.CommandRunning());
    EXPECT_FALSE(std::filesystem::exists(record + ".out"));

    now = At(0, 18, 5);
    EXPECT_FALSE(scheduler.OnTimer()) << "the cycle waits for the command";
    EXPECT_TRUE(scheduler.IsRunning());
    scheduler.WaitForCommand();
    EXPECT_EQ(TestHome::ReadFile(record + ".out"), "2|alpha|beta|");
    EXPECT_TRUE(scheduler.TakeCycleAfterCommand());
    EXPECT_FALSE(scheduler.TakeCycleAfterCommand());
    scheduler.RunFinished();

    now = At(0, 18, 6);  // cannot start: ignored, and no cycle was asked for
    EXPECT_FALSE(scheduler.OnTimer());
    scheduler.WaitForCommand();
    EXPECT_FALSE(scheduler.TakeCycleAfterCommand());
    EXPECT_FALSE(scheduler.IsRunning());

    now = At(0, 18, 7);
    EXPECT_FALSE(scheduler.OnTimer());
    now = At(0, 18, 8);  // the same command, still running: not started twice
    EXPECT_FALSE(scheduler.OnTimer());
    now = At(0, 18, 9);  // a cycle due meanwhile follows the command
    EXPECT_FALSE(scheduler.OnTimer());
    EXPECT_TRUE(scheduler.CommandRunning());
    TestHome::WriteFile(hold + ".go", "");
    scheduler.WaitForCommand();
    EXPECT_EQ(TestHome::ReadFile(hold + ".runs"), "x\n");
    EXPECT_TRUE(scheduler.TakeCycleAfterCommand());
    now = At(0, 18, 0);
    EXPECT_FALSE(scheduler.OnTimer());
}

TEST(CScheduler, TheCycleTickRunsTheCommandFirstThenTheCycle) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    // Held until the test lets it end, while the cycle's clock ticks on.
    const std::string record =
        RecordingScript(home, "record.sh", "while [ ! -e \"$0.go\" ]; do sleep 0.02; done\n");
    SetSettingDword(settings::kPreferencesKeyPath, "SendReceiveTick", 20);
    TestHome::WriteFile(home.File("Schedule.txt"), "0123456:7:0:T:T:" + record + " first\n");
    Schedule({"set", "--mode", "complex", "--automatic"});
    CScheduler scheduler([] { return At(3, 7, 0); });

    std::atomic<bool> recordedFirst{false};
    CSendReceiveCycle cycle([&]() -> std::unique_ptr<CMailDatabase> {
        recordedFirst = std::filesystem::exists(record + ".out");
        return nullptr;  // nothing to send: the cycle only runs through
    });
    cycle.AttachScheduler(&scheduler, std::chrono::milliseconds(1));
    ASSERT_TRUE(cycle.Start());
    ASSERT_TRUE(WaitUntil([&] { return scheduler.CommandRunning(); }, std::chrono::seconds(10)));
    const std::uint64_t ticked = cycle.TickCount();
    ASSERT_TRUE(WaitUntil([&] { return cycle.TickCount() >= ticked + 3; }, std::chrono::seconds(10)));
    TestHome::WriteFile(record + ".go", "");
    WaitUntil([&] { return cycle.Status().cyclesCompleted != 0; }, std::chrono::seconds(15));
    cycle.Stop();
    EXPECT_EQ(cycle.Status().cyclesCompleted, 1u) << "once in the minute";
    EXPECT_TRUE(recordedFirst);
    EXPECT_FALSE(scheduler.IsRunning());
}
