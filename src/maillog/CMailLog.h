// CMailLog: per-day logs of every message sent out or delivered locally.
//
// Each message's full text is appended to the day's SentMail.Log or
// ReceiveMail.Log (below the Log Directory setting, in a "%d%m%Y" directory)
// and described by a MAILSTATISTICS row carrying its size and offset, so the
// console's search can find and show it. Days older than Maintain Log are
// removed when the log is opened. One object serves the whole process; a lock
// keeps two threads' texts apart, and a row is inserted once its text is
// written.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "foundation/OdbcEnvironment.h"
#include "foundation/SettingValue.h"
#include "platform/MutexLock.h"
#include "platform/UniqueFd.h"

class CMailContent;

class CMailLog {
public:
    // Sender, recipient and subject are cut to this many bytes (never inside
    // a UTF-8 character).
    static constexpr std::size_t kMaxTextBytes = 255;
    static constexpr std::uint32_t kCopyBlock = 64 * 1024;
    // Headers are read from the start of a message only.
    static constexpr std::uint32_t kHeaderWindow = 4096;
    static constexpr std::uint32_t kDefaultKeepDays = settings::Dword{settings::kLog, "Maintain Log"}.Default();
    static constexpr const char* kSentLogName = "SentMail.Log";
    static constexpr const char* kReceivedLogName = "ReceiveMail.Log";

    explicit CMailLog(SQLHDBC connection = SQL_NULL_HDBC);
    ~CMailLog();
    CMailLog(const CMailLog&) = delete;
    CMailLog& operator=(const CMailLog&) = delete;

    // Reads the settings, removes old days and opens today's files. True.
    bool Open();
    // True when the row and the text were both written. With row given,
    // the text is written and the row's statement handed back instead of
    // run: delivery commits it with the stored copy's rows (no commit of
    // its own), or runs it with WriteRow when no copy is stored.
    bool LogMail(SQLHDBC connection, const std::string& sender, const std::string& recipient,
                 const std::string& subject, bool received, CMailContent* content, std::string* row = nullptr);
    bool LogReceived(const std::string& recipient, CMailContent* content);
    bool LogSent(const std::string& sender, const std::string& recipient, CMailContent* content);
    // The same on a caller's connection (routing and delivery run their own).
    bool LogReceived(SQLHDBC connection, const std::string& recipient, CMailContent* content,
                     std::string* row = nullptr);
    // Runs a row LogMail handed back, committed as the log's own rows are.
    static bool WriteRow(SQLHDBC connection, const std::string& row);
    bool LogSent(SQLHDBC connection, const std::string& sender, const std::string& recipient, CMailContent* content);
    // Removes the day directories older than the retention, with their rows.
    void Cleanup();

    // The Log Directory setting as the log uses it (forward slashes, no
    // trailing slash; the home when unset or unreadable).
    static std::string ConfiguredRoot();
    // Writes the retention (Maintain Log) in days; it takes effect at the
    // next Open. False when the setting cannot be written.
    static bool SetKeepDays(std::uint32_t days);
    // The log file of a day below root, for received or sent mail; empty
    // when day is not a "%d%m%Y" name (a row's day never leaves the root).
    static std::string LogFilePath(const std::string& root, const std::string& day, bool received);

    // The process's log, installed by the main window once it is open, so
    // routing and delivery reach it; null before (and after Install(nullptr)).
    static void Install(CMailLog* log);
    static CMailLog* Installed();

    // The clock used for day names and dates (tests move it across midnight).
    void SetClock(std::function<std::time_t()> clock);

    const std::string& LogRoot() const { return logRoot; }
    std::uint32_t KeepDays() const { return keepDays; }
    std::string CurrentDay() const {
        MutexLock guard(lock);
        return currentDay;
    }
    bool SentOpen() const {
        MutexLock guard(lock);
        return static_cast<bool>(sentLog);
    }
    bool ReceivedOpen() const {
        MutexLock guard(lock);
        return static_cast<bool>(receivedLog);
    }

private:
    std::string DayName(std::time_t when) const;
    std::string DayDirectory(const std::string& day) const;
    void OpenDayFiles() REQUIRES(lock);
    static UniqueFd OpenLogFile(const std::string& path);
    bool AppendContent(int fd, CMailContent& content, std::uint32_t length);

    UniqueFd sentLog GUARDED_BY(lock);
    UniqueFd receivedLog GUARDED_BY(lock);
    std::string logRoot;
    std::uint32_t keepDays = kDefaultKeepDays;
    SQLHDBC connection;
    std::string currentDay GUARDED_BY(lock);
    std::function<std::time_t()> clock GUARDED_BY(lock);
    mutable Mutex lock;  // the open day's files, its name and the clock
};
