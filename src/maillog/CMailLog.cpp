// CMailLog: day directories, the two log files, MAILSTATISTICS rows and the
// removal of old days.
#include "maillog/CMailLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "message/CMailHeader.h"
#include "platform/Home.h"
#include "platform/Registry.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "foundation/DateText.h"

namespace {

// Retention beyond this is "forever"; it also keeps the cutoff arithmetic
// far from overflow whatever the setting holds.
constexpr std::uint32_t kMaxKeepDays = 100000;
constexpr settings::Dword kMaintainLog{settings::kLog, "Maintain Log"};

std::atomic<CMailLog*> g_installedLog{nullptr};

constexpr const char* kLogRow = "INSERT INTO MAILSTATISTICS VALUES ('%s','%s', '%s', '%s', %s, %ld, %ld,'%s')";

// "%d%m%Y" as a "%Y%m%d" key, or "" when the name is not such a date.
std::string DayKey(const char* name) {
    if (std::strlen(name) != 8) return {};
    for (int i = 0; i < 8; ++i)
        if (name[i] < '0' || name[i] > '9') return {};
    int day = (name[0] - '0') * 10 + (name[1] - '0');
    int month = (name[2] - '0') * 10 + (name[3] - '0');
    if (day < 1 || day > 31 || month < 1 || month > 12) return {};
    return std::string(name + 4, 4) + std::string(name + 2, 2) + std::string(name, 2);
}

// Cuts a log file back to where a message's text began. When it cannot be,
// the next message still starts at the end of the file and the bytes stay
// unreferenced.
void TakeBack(int fd, off_t offset) {
    if (::ftruncate(fd, offset) != 0) return;
}

}  // namespace

CMailLog::CMailLog(SQLHDBC connection) : connection(connection), clock([] { return std::time(nullptr); }) {}

CMailLog::~CMailLog() = default;

void CMailLog::SetClock(std::function<std::time_t()> next) {
    MutexLock guard(lock);
    clock = std::move(next);
}

std::string CMailLog::DayName(std::time_t when) const {
    return FormatLocalTime(when, "%d%m%Y");
}

std::string CMailLog::DayDirectory(const std::string& day) const {
    return logRoot + "/" + day;
}

UniqueFd CMailLog::OpenLogFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    if (!fd) return fd;
    // Other writers are kept out; a log held by another process stays off.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::lseek(fd.Get(), 0, SEEK_END) < 0) fd.Reset();
    return fd;
}

void CMailLog::OpenDayFiles() {
    sentLog.Reset();
    receivedLog.Reset();
    ::mkdir(logRoot.c_str(), 0750);
    const std::string directory = DayDirectory(currentDay);
    ::mkdir(directory.c_str(), 0750);
    sentLog = OpenLogFile(directory + "/" + kSentLogName);
    receivedLog = OpenLogFile(directory + "/" + kReceivedLogName);
}

std::string CMailLog::ConfiguredRoot() {
    std::string root = settings::Text{settings::kLog, "Log Directory"}.Value(259);
    root = ForwardSlashes(root);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    // No directory configured: the installation's own home, never "/".
    if (root.empty()) root = Home::Dir();
    return root;
}

bool CMailLog::SetKeepDays(std::uint32_t days) {
    return kMaintainLog.Write(days, true);
}

std::string CMailLog::LogFilePath(const std::string& root, const std::string& day, bool received) {
    if (day.size() != 8 || DayKey(day.c_str()).empty()) return {};
    return root + "/" + day + "/" + (received ? kReceivedLogName : kSentLogName);
}

bool CMailLog::Open() {
    logRoot = ConfiguredRoot();
    keepDays = std::min<std::uint32_t>(kMaintainLog.Value(), kMaxKeepDays);

    Cleanup();

    MutexLock guard(lock);
    currentDay = DayName(clock());
    OpenDayFiles();
    return true;
}

void CMailLog::Cleanup() {
    MutexLock guard(lock);
    const std::time_t cutoff = clock() - static_cast<std::time_t>(keepDays) * 86400;
    const std::string cutoffKey = FormatLocalTime(cutoff, "%Y%m%d");
    DIR* root = ::opendir(logRoot.c_str());
    if (!root) return;
    std::vector<std::string> old;
    while (dirent* entry = ::readdir(root)) {
        std::string key = DayKey(entry->d_name);
        if (key.empty() || key >= cutoffKey) continue;
        struct stat info {};
        std::string path = DayDirectory(entry->d_name);
        if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) old.push_back(std::move(path));
    }
    ::closedir(root);
    if (old.empty()) return;
    for (const std::string& path : old) {
        // Both spellings: the received log has been written with either.
        ::unlink((path + "/ReceiveMail.Log").c_str());
        ::unlink((path + "/ReceiveMail.log").c_str());
        ::unlink((path + "/SentMail.Log").c_str());
        ::rmdir(path.c_str());
    }
    OdbcStatement s(connection);
    s.ExecDirect(FormatSql("DELETE FROM MAILSTATISTICS WHERE  MailDate < cdate('%s')",
                           SqlText::Quote(FormatLocalTime(cutoff, "%Y-%m-%d %H:%M:%S"))));
}

bool CMailLog::AppendContent(int fd, CMailContent& content, std::uint32_t length) {
    std::vector<char> block(kCopyBlock);
    content.Rewind();
    std::uint32_t remaining = length;
    while (remaining > 0) {
        int n = content.Read(block.data(), std::min(remaining, kCopyBlock));
        if (n <= 0) return false;
        if (!WriteAll(fd, block.data(), static_cast<std::size_t>(n))) return false;
        remaining -= static_cast<std::uint32_t>(n);
    }
    // Not synced: the log is a record of mail, not mail, and its rows are
    // committed without a sync of their own; a sync per message here would
    // cost as much as storing the message.
    return true;
}

bool CMailLog::LogMail(SQLHDBC db, const std::string& sender, const std::string& recipient, const std::string& subject,
                       bool received, CMailContent* content, std::string* row) {
    if (!content) return false;
    const std::string from = CutAtCharacter(sender, kMaxTextBytes);
    const std::string to = CutAtCharacter(recipient, kMaxTextBytes);
    const std::string title = CutAtCharacter(subject, kMaxTextBytes);

    // The text is appended under the lock, which keeps two messages' bytes
    // apart; the row is inserted after it, outside: on a database server
    // that is a round trip, and the delivering threads would otherwise take
    // turns behind each other's. A row thus never points at bytes not yet
    // written.
    MutexLock guard(lock);
    content->Rewind();
    const std::time_t now = clock();
    const std::string today = DayName(now);
    if (today != currentDay) {
        currentDay = today;
        OpenDayFiles();
    }
    UniqueFd& log = received ? receivedLog : sentLog;
    if (!log) return false;
    const off_t offset = ::lseek(log.Get(), 0, SEEK_END);
    if (offset < 0) return false;
    const std::uint32_t length = content->GetLength();
    const std::string day = currentDay;
    if (!AppendContent(log.Get(), *content, length)) {
        // The text did not fit: no row will point at its partial bytes.
        TakeBack(log.Get(), offset);
        return false;
    }
    guard.unlock();

    auto withValues = [&](auto&& run) {
        return run(SqlText::Quote(from), SqlText::Quote(to), SqlText::Quote(title),
                   SqlText::Quote(FormatLocalTime(now, "%Y-%m-%d %H:%M:%S")),
                   received ? SqlTrusted("true") : SqlTrusted("false"), static_cast<long>(length),
                   static_cast<long>(offset), SqlText::Quote(day));
    };
    const auto printed = [&] { return withValues([](const auto&... v) { return FormatSql(kLogRow, v...); }); };
    if (row) {
        *row = printed();
        return true;
    }
    // The row, like the text, is a record of mail and not mail: it is not
    // flushed on its own.
    bool inserted = false;
    if (OdbcStatement::DialectOf(db).UnflushedCommit()) {
        inserted = WriteRow(db, printed());
    } else {
        OdbcPrepared s(db);
        inserted = withValues([&](const auto&... v) { return s.Run(kLogRow, v...); });
    }
    if (inserted)
        return true;

    // No row describes the text: take it back while it is still the last in
    // the same day's file, else leave it unreferenced.
    guard.lock();
    UniqueFd& same = received ? receivedLog : sentLog;
    if (currentDay == day && same && ::lseek(same.Get(), 0, SEEK_END) == offset + static_cast<off_t>(length))
        TakeBack(same.Get(), offset);
    return false;
}

bool CMailLog::LogReceived(const std::string& recipient, CMailContent* content) {
    return LogReceived(connection, recipient, content);
}

bool CMailLog::LogSent(const std::string& sender, const std::string& recipient, CMailContent* content) {
    return LogSent(connection, sender, recipient, content);
}

bool CMailLog::LogReceived(SQLHDBC db, const std::string& recipient, CMailContent* content, std::string* row) {
    if (!content) return false;
    const std::string head = ReadHead(*content, kHeaderWindow);
    const CMailHeader header(head.data(), head.size());
    return LogMail(db, header.GetField("From"), recipient, header.GetField("Subject"), true, content, row);
}

bool CMailLog::WriteRow(SQLHDBC db, const std::string& row) {
    if (row.empty()) return true;
    OdbcStatement s(db);
    if (const char* unflushed = OdbcStatement::DialectOf(db).UnflushedCommit()) return s.ExecTogether({unflushed, row});
    return s.ExecDirect(row);
}

bool CMailLog::LogSent(SQLHDBC db, const std::string& sender, const std::string& recipient, CMailContent* content) {
    if (!content) return false;
    const std::string head = ReadHead(*content, kHeaderWindow);
    const CMailHeader header(head.data(), head.size());
    return LogMail(db, sender, recipient, header.GetField("Subject"), false, content);
}

void CMailLog::Install(CMailLog* log) {
    g_installedLog.store(log);
}

CMailLog* CMailLog::Installed() {
    return g_installedLog.load();
}
