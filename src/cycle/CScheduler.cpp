// CScheduler: the due rules of the three modes and the command runs.
#include "cycle/CScheduler.h"

#include <sys/stat.h>

#include <cstring>
#include <system_error>

#include "foundation/CModuleLog.h"
#include "platform/CommandProcess.h"
#include "platform/Home.h"
#include "platform/Text.h"

std::tm CScheduler::LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local;
}

CScheduler::CScheduler(Clock givenClock, const std::string& directory) : clock(std::move(givenClock)) {
    // Without a home the working directory holds them.
    const std::string dir = directory.empty() ? Home::Dir() : directory;
    const std::string prefix = dir.empty() ? std::string() : dir + "/";
    settingsPath = prefix + CScheduleSettings::kFileName;
    tablePath = prefix + CScheduleTable::kFileName;
}

CScheduler::~CScheduler() {
    // A command still running is left to run on; only the wait for it ends.
    stopping = true;
    if (commandThread.joinable()) commandThread.join();
}

CScheduler::FileIdentity CScheduler::Identify(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true, st.st_ino, static_cast<unsigned long long>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

void CScheduler::Refresh() {
    const FileIdentity settingsNow = Identify(settingsPath);
    if (settingsSeen != settingsNow) {
        settingsSeen = settingsNow;
        settings = CScheduleSettings::Load(settingsPath);
    }
    const FileIdentity tableNow = Identify(tablePath);
    if (tableSeen != tableNow) {
        tableSeen = tableNow;
        table.Load(tablePath);
    }
}

bool CScheduler::IsDue() {
    const std::tm now = clock();
    sendDue = false;
    eventDue = false;
    if (settings.enabled == 0) return false;
    const long long minuteOfTime =
        ((static_cast<long long>(now.tm_year) * 366 + now.tm_yday) * 24 + now.tm_hour) * 60 + now.tm_min;
    switch (settings.mode) {
        case CScheduleSettings::kAtTime: {
            const std::size_t sundayFirst = static_cast<std::size_t>(now.tm_wday) % 7;
            if (settings.weekdays[sundayFirst] != 0 && settings.hour == static_cast<std::uint32_t>(now.tm_hour) &&
                settings.minute == static_cast<std::uint32_t>(now.tm_min) && lastDueMinute != minuteOfTime) {
                lastDueMinute = minuteOfTime;
                sendDue = true;
            }
            break;
        }
        case CScheduleSettings::kEveryMinutes:
            if (settings.settingsChanged != 0) {
                settings.settingsChanged = 0;
                settings.minute = 0;
            }
            if (++settings.minute == settings.interval) {
                settings.minute = 0;
                sendDue = true;
            }
            break;
        case CScheduleSettings::kWeeklyTable: {
            const std::size_t mondayFirst = static_cast<std::size_t>(now.tm_wday + 6) % 7;
            const CScheduleTable::Entry* entry = table.Find(mondayFirst, now.tm_hour, now.tm_min);
            if (entry && lastDueMinute != minuteOfTime) {
                sendDue = entry->send;
                eventDue = entry->event;
                command = entry->command;
                if (sendDue || eventDue) lastDueMinute = minuteOfTime;
            }
            break;
        }
        default:
            break;
    }
    return sendDue || eventDue;
}

bool CScheduler::OnTimer() {
    Refresh();
    if (!IsDue()) return false;
    const std::string line = eventDue ? std::string(Trim(command)) : std::string();
    MutexLock guard(lock);
    if (commandRunning) {
        if (!line.empty()) g_moduleLog.Write("Scheduler: the last scheduled command still runs; not started again");
        // Its cycle, if it asked for one, comes after it like this one.
        if (sendDue) cycleAfterCommand = true;
        return false;
    }
    running = true;
    if (!line.empty() && StartCommand(line)) {
        cycleAfterCommand = sendDue;
        return false;
    }
    if (sendDue) return true;
    running = false;
    return false;
}

bool CScheduler::StartCommand(const std::string& line) {
    // The previous command's thread has ended (commandRunning was clear).
    if (commandThread.joinable()) commandThread.join();
    commandRunning = true;
    try {
        commandThread = std::thread([this, line] {
            RunCommand(line);
            MutexLock guard(lock);
            commandRunning = false;
            if (cycleAfterCommand) {
                cycleAfterCommand = false;
                cycleReady = true;
            } else {
                running = false;
            }
        });
    } catch (const std::system_error&) {
        commandRunning = false;
        g_moduleLog.Write("*** Scheduler: no thread for the scheduled command; it is not run");
        return false;
    }
    return true;
}

void CScheduler::RunCommand(const std::string& line) {
    std::vector<std::string> words = SplitCommand(line);
    if (words.empty()) return;
    const std::string executable = words.front();
    words.erase(words.begin());
    CommandProcess process;
    if (!process.Start(executable, words)) {
        // Only the program's name: its arguments may carry a secret.
        g_moduleLog.Write("Scheduler: the scheduled command " + executable +
                          " cannot be started: " + std::strerror(process.StartError()));
        return;
    }
    process.Wait(std::nullopt, &stopping);
}

bool CScheduler::TakeCycleAfterCommand() {
    MutexLock guard(lock);
    const bool ready = cycleReady;
    cycleReady = false;
    return ready;
}

void CScheduler::RunFinished() {
    running = false;
}

bool CScheduler::CommandRunning() const {
    MutexLock guard(lock);
    return commandRunning;
}

void CScheduler::WaitForCommand() {
    // Joined outside the lock: the command's thread takes it as it ends.
    std::thread ending;
    {
        MutexLock guard(lock);
        ending = std::move(commandThread);
    }
    if (ending.joinable()) ending.join();
}

std::vector<std::string> CScheduler::SplitCommand(std::string_view line) {
    line = Trim(line);
    std::vector<std::string> words;
    while (!line.empty()) {
        const std::size_t blank = line.find(' ');
        const std::string_view word = line.substr(0, blank);
        if (!word.empty()) words.emplace_back(word);
        if (blank == std::string_view::npos) break;
        line = line.substr(blank + 1);
    }
    return words;
}
