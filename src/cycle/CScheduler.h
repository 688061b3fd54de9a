// CScheduler: decides on the scheduler's 60-second tick whether a send and
// receive cycle is due and whether a weekly-table entry's command is run.
//
// Modes: 1 at a set hour and minute on the chosen weekdays, 2 on every
// interval-th tick, 3 by the weekly table. Nothing is due unless the
// scheduler is enabled. "Schedule.stg" and "Schedule.txt" are read again
// at a tick when they changed, so `velmora schedule` applies to a running
// server as the page's Update does (a new state restarts the mode-2 count).
//
// A due entry's command runs on a thread of its own and the cycle it asks
// for starts once the command has ended, so a command that hangs holds up
// neither the ticks nor later cycles. While it runs it is not started
// again. A mode-1 or mode-3 time is due once in its minute however the
// ticks fall. The clock gives the local time, so a test can set any day.
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cycle/CScheduleSettings.h"
#include "cycle/CScheduleTable.h"
#include "platform/MutexLock.h"

class CScheduler {
public:
    static constexpr std::chrono::milliseconds kTick{60000};
    using Clock = std::function<std::tm()>;
    static std::tm LocalNow();

    // The files of directory (empty: the home).
    explicit CScheduler(Clock clock = LocalNow, const std::string& directory = "");
    ~CScheduler();
    CScheduler(const CScheduler&) = delete;
    CScheduler& operator=(const CScheduler&) = delete;

    // Reads the state and the table when a file changed since the last read
    // (a missing file: the values of construction, an empty table).
    void Refresh();
    // One evaluation; sets the results below. True when anything is due.
    bool IsDue();
    bool SendDue() const { return sendDue; }
    bool EventDue() const { return eventDue; }
    const std::string& Command() const { return command; }

    // The scheduler's tick while no cycle runs: Refresh, IsDue, and a due
    // command started on its own thread. True when a cycle is to start now;
    // a cycle that follows a command is told by TakeCycleAfterCommand.
    bool OnTimer();
    // True once for each ended command whose entry also asked for a cycle.
    bool TakeCycleAfterCommand();
    // The cycle has finished: the scheduled run is over.
    void RunFinished();
    // A run started by a due tick is still going (its command or its cycle).
    bool IsRunning() const { return running; }
    bool CommandRunning() const;
    // Waits until a started command has ended.
    void WaitForCommand();

    const CScheduleSettings& Settings() const { return settings; }
    const CScheduleTable& Table() const { return table; }

    // The trimmed command line as executable (the text before the first
    // blank) and arguments (the remaining words between single blanks, empty
    // words skipped). Empty for an empty line.
    static std::vector<std::string> SplitCommand(std::string_view line);

private:
    struct FileIdentity {
        bool exists = false;
        unsigned long long inode = 0, size = 0;
        long long seconds = 0, nanoseconds = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    static FileIdentity Identify(const std::string& path);
    bool StartCommand(const std::string& line) REQUIRES(lock);
    void RunCommand(const std::string& line);

    Clock clock;
    std::string settingsPath, tablePath;
    std::optional<FileIdentity> settingsSeen, tableSeen;
    CScheduleSettings settings;
    CScheduleTable table;

    bool sendDue = false;
    bool eventDue = false;
    std::string command;
    // The minute (mode 1 and 3) last found due.
    std::optional<long long> lastDueMinute;

    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    mutable Mutex lock;  // the three below
    bool commandRunning GUARDED_BY(lock) = false;
    bool cycleAfterCommand GUARDED_BY(lock) = false;
    bool cycleReady GUARDED_BY(lock) = false;
    std::thread commandThread GUARDED_BY(lock);
};
