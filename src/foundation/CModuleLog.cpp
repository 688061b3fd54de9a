// CModuleLog: the diagnostic log file.
//
// Lines end with a plain line feed (this system's text files); everything
// else of the file's name and banner is fixed so the administrator's tools
// can find a run's log by its UTC start minute.
#include "foundation/CModuleLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/LogRetention.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Home.h"
#include "platform/Invariant.h"
#include "platform/RegistryValues.h"
#include "platform/ServiceNotify.h"

CModuleLog g_moduleLog;

CModuleLog::~CModuleLog() {
    Close();
}

std::string CModuleLog::FileNameFor(const std::string& directory, const std::tm& utc) {
    char name[64];
    std::snprintf(name, sizeof name, "/%02d%02d%04d%02d%02d.log", utc.tm_mday, utc.tm_mon + 1, utc.tm_year + 1900,
                  utc.tm_hour, utc.tm_min);
    return directory + name;
}

void CModuleLog::Open(const std::string& path, const std::string& module, bool append) {
    OpenAt(path, module, append, std::time(nullptr));
}

void CModuleLog::OpenAt(const std::string& path, const std::string& module, bool, std::time_t utcNow) {
    MutexLock guard(lock);
    if (isOpen) return;  // opened once per process
    registryPath = path;
    moduleName = module;
    logDirectory.clear();
    loggingLevel = 0;
    verbose = false;

    // The path and module are the caller's, so the platform's reads are used
    // directly; the values are the catalogue's Corvane entries.
    const std::string keyPath = registryPath + "\\" + moduleName;
    std::string directory;
    if (registry::ReadText(keyPath, "LogDir", directory, settings::kMaxTextBytes) == registry::Found::Value)
        logDirectory = directory;
    DWORD level = 0;
    if (registry::ReadDword(keyPath, "LoggingLevel", level) == registry::Found::Value) loggingLevel = level;
    DWORD detail = 0;
    if (registry::ReadDword(keyPath, "VerboseLogging", detail) == registry::Found::Value) verbose = detail == 1;
    if (loggingLevel != 1) return;

    constexpr settings::Dword kRetention{settings::kPreferences, "LogRetentionDays"};
    retentionDays =
        std::clamp(kRetention.Stored().value_or(kRetention.Default()), kRetention.Minimum(), kRetention.Maximum());
    // The days roll by the time given here (a test's), not only the clock's.
    clockOffset = utcNow - std::time(nullptr);
    if (!OpenFileAt(utcNow)) return;
    isOpen = 1;
    mirrorToStandardError = ServiceNotify::UnderServiceManager();
    StartSweep(utcNow);
}

bool CModuleLog::OpenFileAt(std::time_t utcNow) {
    std::tm utc{};
    gmtime_r(&utcNow, &utc);
    // An empty directory means the home, never the file system root.
    std::string directory = logDirectory.empty() ? Home::Dir() : logDirectory;
    if (directory.empty()) directory.push_back('.');
    const std::string name = FileNameFor(directory, utc);
    // Always appended to, whatever the flag: a start in the same minute as a
    // crashed run (the service restarts within seconds) continues that run's
    // log below its lines instead of wiping the record of the crash.
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    // Others are denied writing while we hold it; a second process running
    // in the same minute goes without a log rather than interleave with it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    std::FILE* opened = ::fdopen(fd, "a");
    if (!opened) {
        ::close(fd);
        return false;
    }
    file = opened;
    filePath = name;
    openDay = utcNow / kSecondsPerDay;
    const std::string rule(69, '=');
    char date[128];
    std::snprintf(date, sizeof date, "\tDate = %d-%d-%d  Time = %d:%d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year + 1900,
                  utc.tm_hour, utc.tm_min);
    for (const std::string& line : {rule, "\tModule := " + moduleName, std::string(date), rule}) Append(line);
    return true;
}

void CModuleLog::RollAt(std::time_t utcNow) {
    if (utcNow / kSecondsPerDay == openDay) return;
    std::FILE* previous = file;
    const std::string previousPath = filePath;
    if (!OpenFileAt(utcNow)) {
        // The old file goes on; the next day tries again.
        openDay = utcNow / kSecondsPerDay;
        return;
    }
    std::fclose(previous);
    StartSweep(utcNow);
}

void CModuleLog::StartSweep(std::time_t utcNow) {
    if (sweeper.joinable()) sweeper.join();
    const std::string directory = filePath.substr(0, filePath.rfind('/'));
    // Compressing a day's file takes a while; the writers do not wait for it.
    sweeper = std::thread([directory, open = filePath, utcNow, days = retentionDays] {
        logretention::Sweep(directory, open, utcNow, days);
    });
}

void CModuleLog::Write(std::string_view text) {
    MutexLock guard(lock);
    if (isOpen) Append(text);
}

void CModuleLog::WriteVerbose(std::string_view text) {
    MutexLock guard(lock);
    if (isOpen && verbose) Append(text);
}

void CModuleLog::Append(std::string_view text) {
    VELMORA_INVARIANT(file != nullptr, "a log line written after Close or before the file opened");
    const std::time_t now = std::time(nullptr);
    // A long run starts a file per UTC day, so that old days can be compressed and removed.
    if (isOpen && (now + clockOffset) / kSecondsPerDay != openDay) RollAt(now + clockOffset);
    const std::string stamp = Stamp(now);
    std::fwrite(stamp.data(), 1, stamp.size(), file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
    if (mirrorToStandardError) Mirror(text);
}

void CModuleLog::Close() {
    MutexLock guard(lock);
    if (sweeper.joinable()) sweeper.join();
    if (!isOpen) return;
    std::fclose(file);
    file = nullptr;
    isOpen = 0;
    filePath.clear();
}

bool CModuleLog::IsOpen() const {
    MutexLock guard(lock);
    return isOpen != 0;
}

bool CModuleLog::IsVerbose() const {
    MutexLock guard(lock);
    return isOpen != 0 && verbose;
}

std::string CModuleLog::FilePath() const {
    MutexLock guard(lock);
    return filePath;
}

std::string CModuleLog::Stamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", &local);
    return std::string(text, n);
}

std::string CModuleLog::ClientName(const std::string& name) {
    std::string clean;
    for (char c : name) {
        if (clean.size() >= 64) break;
        clean += (c > 0x20 && c < 0x7F) ? c : '?';
    }
    return clean;
}

void CModuleLog::Mirror(std::string_view text) {
    // One write per line, so the journal never sees half of one; the journal
    // stamps the time itself.
    std::string line = "velmora log: ";
    line.append(text.substr(0, 4000));
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
