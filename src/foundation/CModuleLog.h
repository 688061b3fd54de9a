// CModuleLog: the process-wide diagnostic log (g_moduleLog).
//
// Opened once at start-up from the module's settings sub-key (LogDir,
// LoggingLevel); on only when LoggingLevel is exactly 1. Each Write is one
// flushed line, serialised by the log's lock so threads never interleave.
// Nothing is written after Close. Every line, the banner's too, starts with
// the local time it was written ("2026-12-07 21:40:05 ").
//
// A message leaves one line at each step an administrator follows it by
// (accepted, routed, stored, queued); the step-by-step detail goes through
// WriteVerbose, kept only when the sub-key's VerboseLogging is 1.
// Run by a service manager, each line also goes to standard error (the journal).
// A new file starts at each UTC midnight; files of earlier days are
// compressed and removed after Preferences\LogRetentionDays (LogRetention).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <ctime>

#include "platform/MutexLock.h"

class CModuleLog {
public:
    CModuleLog() = default;
    ~CModuleLog();
    CModuleLog(const CModuleLog&) = delete;
    CModuleLog& operator=(const CModuleLog&) = delete;

    // Reads <registryPath>\<moduleName>\{LogDir,LoggingLevel} and, at level 1,
    // opens <LogDir>/DDMMYYYYHHMM.log (UTC) and writes the four banner lines.
    // The file is created when missing and appended to, never truncated, with
    // or without append: two starts in one minute share the file.
    void Open(const std::string& registryPath, const std::string& moduleName, bool append);
    // Same, with the UTC time given (tests).
    void OpenAt(const std::string& registryPath, const std::string& moduleName, bool append, std::time_t utcNow);
    void Write(std::string_view text);
    // A detail line: written only when the log is open and verbose.
    void WriteVerbose(std::string_view text);
    void Close();
    // Starts the next day's file when utcNow is past the open file's UTC
    // day (Write does this by itself); for tests. The caller holds no lock.
    void RollForTest(std::time_t utcNow) {
        MutexLock guard(lock);
        if (isOpen) RollAt(utcNow);
    }

    bool IsOpen() const;
    bool IsVerbose() const;
    // Path of the file while open (empty otherwise); for the host's own messages.
    std::string FilePath() const;

    // The name the log takes for a directory and a UTC time: "<dir>/DDMMYYYYHHMM.log".
    static std::string FileNameFor(const std::string& directory, const std::tm& utc);
    // The prefix of a line written at that moment: local "YYYY-MM-DD HH:MM:SS ".
    static std::string Stamp(std::time_t when);
    // A name a client gave, as a log line may show it: at most 64 characters,
    // anything but visible ASCII shown as '?'.
    static std::string ClientName(const std::string& name);

private:
    static constexpr std::time_t kSecondsPerDay = 86400;
    // One flushed, stamped line; the caller holds the lock and the log is open.
    void Append(std::string_view text) REQUIRES(lock);
    // The file for utcNow's minute opened, locked and given its banner;
    // false (nothing changed) when it cannot be. The caller holds the lock.
    bool OpenFileAt(std::time_t utcNow) REQUIRES(lock);
    void RollAt(std::time_t utcNow) REQUIRES(lock);
    // Earlier days' files compressed and old ones removed, on a thread of
    // its own (LogRetention).
    void StartSweep(std::time_t utcNow) REQUIRES(lock);
    // The same line on standard error, which the journal keeps when a
    // service manager runs us.
    void Mirror(std::string_view text);

    mutable Mutex lock;  // the open file, its settings and its day
    int isOpen GUARDED_BY(lock) = 0;
    std::string logDirectory GUARDED_BY(lock);
    std::uint32_t loggingLevel GUARDED_BY(lock) = 0;
    bool verbose GUARDED_BY(lock) = false;
    std::FILE* file GUARDED_BY(lock) = nullptr;
    std::string moduleName GUARDED_BY(lock);
    std::string registryPath GUARDED_BY(lock);
    std::string filePath GUARDED_BY(lock);
    bool mirrorToStandardError GUARDED_BY(lock) = false;
    std::time_t openDay GUARDED_BY(lock) = 0;      // UTC day number of the open file
    std::time_t clockOffset GUARDED_BY(lock) = 0;  // OpenAt's time less the clock's then
    std::uint32_t retentionDays GUARDED_BY(lock) = 30;
    std::thread sweeper GUARDED_BY(lock);
};

extern CModuleLog g_moduleLog;
