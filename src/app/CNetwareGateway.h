// CNetwareGateway: the timer that collects the ".cnm" files Netware mail
// clients leave in the outbox directory and hands each one to the file
// event sink, which sends it on.
//
// It ticks every 60 seconds on a thread of its own. In "At" mode a scan is
// due on the tick that falls in the set hour and minute (once, however the
// ticks fall in that minute); otherwise on every "EveryMinutes"-th tick
// (0: never). Changing the mode restarts the count. The settings are read
// afresh at each tick, so a change made with `velmora gateway set` applies
// without a restart. The clock is given, so that a test can put the gateway
// at any time of day.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MutexLock.h"
#include "platform/Registry.h"

class CNetwareGateway {
public:
    // The gateway's registry values (Storage key).
    struct Settings {
        bool at = false;              // "At": a time of day; otherwise every N minutes
        DWORD hour = 0;               // "Netware Hour", 0-23
        DWORD minutes = 0;            // "Netware Minutes", 0-59
        DWORD everyMinutes = 0;       // "EveryMinutes"
        std::string outboxDirectory;  // "Netware Outbox Directory"
    };
    // Missing values read as 0 and empty.
    static Settings ReadSettings();
    // The gateway page's Update: in "At" mode the hour and minute, otherwise
    // "EveryMinutes"; then "At" and the directory. False when the key cannot
    // be opened or a value not written.
    static bool WriteSettings(const Settings& settings);

    static constexpr std::chrono::milliseconds kTick{60000};

    // Gives one file (its full path) to whoever processes it; waits for it.
    using FileHandler = std::function<void(const std::string& path)>;
    using Clock = std::function<std::time_t()>;

    explicit CNetwareGateway(
        FileHandler handler, Clock clock = [] { return std::time(nullptr); });
    ~CNetwareGateway();
    CNetwareGateway(const CNetwareGateway&) = delete;
    CNetwareGateway& operator=(const CNetwareGateway&) = delete;

    // Starts the ticks; the first comes one period after the start.
    bool Start(std::chrono::milliseconds period = kTick);
    void Stop();

    // One tick: nothing while a scan runs, else a scan when one is due.
    void OnGatewayTimer();
    // Counts this tick and tells whether a scan is due now.
    bool IsGatewayDue();
    // Hands every "*.cnm" file of the outbox directory to the handler, in
    // name order; the number handed over.
    std::size_t ScanNetwareOutbox();

    bool IsBusy() const { return busy; }
    // Scans run since the start.
    unsigned long ScanCount() const { return scans; }

private:
    void Run(std::chrono::milliseconds period);

    FileHandler handler;
    Clock clock;
    std::atomic<bool> busy{false};
    std::atomic<unsigned long> scans{0};
    Settings current;
    std::optional<bool> lastAt;
    DWORD minuteCounter = 0;
    // The minute ("At" mode) a scan last ran in: a tick that falls twice
    // in one minute does not scan twice.
    std::optional<std::time_t> lastScanMinute;

    Mutex lock;  // the stop request the thread waits on
    std::condition_variable_any wake;
    bool stopping GUARDED_BY(lock) = false;
    std::thread thread;
};
