// HomeBackup: backup and restore of a home.
#include "app/HomeBackup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "foundation/CMailDatabase.h"
#include "foundation/DataSource.h"
#include "foundation/MovedHome.h"
#include "outbound/COutboundQueue.h"
#include "platform/FileIo.h"
#include "platform/Home.h"
#include "platform/HomeLock.h"
#include "platform/TreeCopy.h"
#include "platform/WholeFile.h"
#include "store/MailStorePaths.h"
#include "store/MessageRows.h"
#include "store/MissingMessageFiles.h"
#include "store/UnlistedMessageFiles.h"

namespace {

// The directories whose files wait for routing, distribution or sending.
constexpr const char* kSpoolDirectories[] = {"SMTPSpooler", "MailSpooler", "Outbox"};
// Directories of the home copied whole besides the spools and the store.
constexpr const char* kKeptDirectories[] = {"tls", "maillog"};
constexpr std::size_t kMaxMarkerBytes = 4096;

std::string BaseName(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// A file a copy leaves while it runs, or a spool file still being written
// or kept empty for reuse: never part of a backup.
bool IsTransient(const std::string& name) {
    return name.empty() || name[0] == '.' || name.ends_with(".part") || name.ends_with(".copying");
}

// The home's own top-level files worth keeping: settings and schedules, not
// the database (copied by the snapshot), the data-source files (which name
// the home they were written for), locks or sockets.
bool IsKeptTopLevelFile(const std::string& name) {
    if (IsTransient(name) || name == HomeBackup::kMarkerFile) return false;
    if (name.rfind(Home::kDatabaseFile, 0) == 0 || name == Home::kOdbcIni || name == Home::kOdbcInstIni) return false;
    if (name == HomeLock::kFileName || name.ends_with(".lock") || name.ends_with(".sock")) return false;
    return !name.ends_with(".before-restore");
}

bool CopyTopLevelFiles(const std::string& from, const std::string& to, std::size_t& files, std::string& error) {
    return CopyTree(
        from, to,
        [](const std::string& relative, const struct stat& info) {
            return S_ISREG(info.st_mode) && relative.find('/') == std::string::npos && IsKeptTopLevelFile(relative);
        },
        files, error);
}

bool CopyWhole(const std::string& from, const std::string& to, std::size_t& files, std::string& error) {
    return CopyTree(
        from, to, [](const std::string& relative, const struct stat&) { return !IsTransient(BaseName(relative)); },
        files, error);
}

std::string MarkerValue(const std::string& marker, const std::string& key) {
    std::istringstream lines(marker);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

bool MoveAside(const std::string& path, std::string& error) {
    if (::rename(path.c_str(), (path + ".before-restore").c_str()) == 0 || errno == ENOENT) return true;
    error = "cannot move " + path + " aside: " + std::strerror(errno);
    return false;
}

}  // namespace

std::string HomeBackup::MomentText(const timespec& moment) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(moment.tv_sec), moment.tv_nsec);
    return text;
}

bool HomeBackup::ParseMoment(const std::string& text, timespec& moment) {
    long long seconds = 0;
    long nanoseconds = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lld.%9ld%n", &seconds, &nanoseconds, &used) != 2 ||
        static_cast<std::size_t>(used) != text.size() || seconds < 0 || nanoseconds < 0)
        return false;
    moment.tv_sec = static_cast<std::time_t>(seconds);
    moment.tv_nsec = nanoseconds;
    return true;
}

bool HomeBackup::Snapshot(const std::string& home, const std::string& dir, timespec& taken, bool& databaseCopied,
                          std::string& error) {
    ::clock_gettime(CLOCK_REALTIME, &taken);
    databaseCopied = !DataSource::PostgresTargetOf(home);
    if (databaseCopied) {
        CMailDatabase db;
        if (!db.Connect()) {
            error = "the database did not answer";
            return false;
        }
        // SQLite copies one transaction's view of the whole database while
        // the server's writers go on.
        std::string why;
        if (!DataSource::CopySqliteDatabase(db.GetConnectionHandle(), dir + "/" + kDatabaseCopy, why)) {
            error = "the database could not be copied: " + why;
            return false;
        }
    }
    std::size_t files = 0;
    for (const char* spool : kSpoolDirectories)
        if (!CopyWhole(home + "/" + spool, dir + "/" + spool, files, error)) return false;
    return true;
}

bool HomeBackup::Complete(const std::string& home, const std::string& dir, const timespec& taken,
                          bool databaseCopied, std::ostream& out, std::string& error) {
    std::size_t files = 0;
    if (!CopyTopLevelFiles(home, dir, files, error)) return false;
    for (const char* kept : kKeptDirectories)
        if (!CopyWhole(home + "/" + kept, dir + "/" + kept, files, error)) return false;
    const std::string mail = mailstore::ReadMailDirectory();
    std::size_t messages = 0;
    // A message file written after the snapshot lists in no copied row.
    const auto before = [&](const std::string& relative, const struct stat& info) {
        const std::string name = BaseName(relative);
        if (IsTransient(name)) return false;
        if (S_ISDIR(info.st_mode) || !mailstore::IsMessageFileName(name)) return true;
        const bool listed = info.st_mtim.tv_sec < taken.tv_sec ||
                            (info.st_mtim.tv_sec == taken.tv_sec && info.st_mtim.tv_nsec <= taken.tv_nsec);
        messages += listed ? 1 : 0;
        return listed;
    };
    if (!mail.empty() && !CopyTree(mail, dir + "/" + kMailCopy, before, files, error)) return false;

    std::ostringstream marker;
    marker << "velmora backup\nhome=" << home << "\ntaken=" << MomentText(taken)
           << "\ndatabase=" << (databaseCopied ? "sqlite" : "postgresql") << "\nmessages=" << messages << "\n";
    const std::string markerPath = dir + "/" + kMarkerFile;
    if (!WriteWholeFile(markerPath + ".copying", marker.str()) ||
        ::rename((markerPath + ".copying").c_str(), markerPath.c_str()) != 0 || !SyncDirectory(dir)) {
        error = "cannot write " + markerPath + ": " + std::strerror(errno);
        return false;
    }
    out << "  " << messages << " message files, " << files << " files in all\n";
    return true;
}

bool HomeBackup::Restore(const std::string& home, const std::string& dir, Restored& result, std::string& error) {
    std::string marker;
    if (!ReadWholeFile(dir + "/" + kMarkerFile, kMaxMarkerBytes, marker) ||
        marker.rfind("velmora backup\n", 0) != 0) {
        error = dir + " holds no complete backup (its " + kMarkerFile + " file is missing: an interrupted backup?)";
        return false;
    }
    timespec taken{};
    const bool withDatabase = MarkerValue(marker, "database") == "sqlite";
    if (!ParseMoment(MarkerValue(marker, "taken"), taken)) {
        error = dir + "/" + kMarkerFile + " is damaged";
        return false;
    }
    if (withDatabase && DataSource::PostgresTargetOf(home)) {
        error = "this home keeps its database in PostgreSQL; restore into a home set up without --database, then "
                "move it with `velmora db migrate`";
        return false;
    }

    if (!CopyTopLevelFiles(dir, home, result.files, error)) return false;
    for (const char* kept : kKeptDirectories)
        if (!CopyWhole(dir + "/" + kept, home + "/" + kept, result.files, error)) return false;
    // The settings name the directories of the home the backup was taken in.
    const std::string former = MovedHome::FormerDirectory(home);
    std::vector<std::string> repaired;
    if (!former.empty() && !MovedHome::Repair(home, former, repaired, error)) return false;
    if (withDatabase) {
        // A write-ahead log left beside the old database would be replayed
        // into the restored one.
        const std::string database = home + "/" + Home::kDatabaseFile;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            if (!MoveAside(database + suffix, error)) return false;
        if (!CopyFileDurably(dir + "/" + kDatabaseCopy, database, error) || !SyncDirectory(home)) return false;
        result.databaseRestored = true;
    }
    for (const char* spool : kSpoolDirectories)
        if (!CopyWhole(dir + "/" + spool, home + "/" + spool, result.files, error)) return false;
    const std::string mail = mailstore::ReadMailDirectory();
    if (mail.empty()) {
        error = "the restored settings name no mail directory";
        return false;
    }
    if (!CopyWhole(dir + "/" + kMailCopy, mail, result.files, error)) return false;

    CMailDatabase db;
    if (!db.Connect()) {
        error = "the restored database did not answer";
        return false;
    }
    const SQLHDBC connection = db.GetConnectionHandle();
    mailstore::RepairRowsWithoutFiles(connection, mail, &result.missingMessages);
    result.missingQueued = COutboundQueue::DropRowsWithoutFiles(connection);
    if (const std::optional<std::size_t> messages = mailstore::CountAllMessages(connection)) result.messages = *messages;
    return true;
}
