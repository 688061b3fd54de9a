// BackupCommand: `velmora backup` and `velmora restore`.
#include "app/BackupCommand.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "app/CControlClient.h"
#include "app/CControlServer.h"
#include "app/CommandSupport.h"
#include "app/HomeBackup.h"
#include "foundation/CMailDatabase.h"
#include "store/MessageRows.h"
#include "platform/HomeLock.h"

namespace {

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[4096];
    if (::getcwd(here, sizeof here) == nullptr) return path;
    return std::string(here) + "/" + path;
}

// A new directory, or one without entries: a backup never mixes with
// other files.
bool PrepareDirectory(const std::string& dir, std::string& error) {
    if (::mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
    if (!listing) {
        error = dir + " cannot be listed: " + std::strerror(errno);
        return false;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            error = dir + " is not empty; name a new directory";
            return false;
        }
    }
    return true;
}

std::string LockHolder(const HomeLock& lock) {
    return "the home is served by process " + std::to_string(lock.HolderPid());
}

}  // namespace

void BackupCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] backup BACKUPDIR\n"
           "       velmora [--home DIR] restore BACKUPDIR [--yes]\n"
           "backup copies the home (database, mail, spools, settings, keys) into a new or empty directory,\n"
           "also while the server runs; restore puts such a copy back into the stopped home.\n";
}

int BackupCommand::Backup(const std::string& home, const std::vector<std::string>& args, std::ostream& out,
                          std::ostream& err) {
    if (args.size() != 1) {
        PrintUsage(err);
        return 64;
    }
    const std::string dir = Absolute(args[0]);
    const std::string request = "backup-snapshot " + dir;
    std::string error;
    if (request.size() > CControlServer::kMaxRequestBytes || dir.find('\n') != std::string::npos) {
        err << "velmora backup: the directory's path is too long; name a shorter one\n";
        return 64;
    }
    if (!PrepareDirectory(dir, error)) {
        err << "velmora backup: " << error << "\n";
        return 1;
    }
    timespec taken{};
    bool databaseCopied = false;
    std::string reply;
    HomeLock lock;
    switch (CControlClient::Request(home, request, reply, error)) {
        case CControlClient::Result::Replied: {
            // "OK", then the moment and the database kind.
            const std::size_t end = reply.find('\n');
            std::string body = end == std::string::npos ? "" : reply.substr(end + 1);
            while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
            const std::size_t space = body.find(' ');
            if (reply.rfind("OK\n", 0) != 0 || space == std::string::npos ||
                !HomeBackup::ParseMoment(body.substr(0, space), taken)) {
                err << "velmora backup: the server refused: " << reply.substr(reply.rfind("ERR ", 0) == 0 ? 4 : 0)
                    << "\n";
                return 1;
            }
            databaseCopied = body.compare(space + 1, std::string::npos, "sqlite") == 0;
            out << "Snapshot taken by the running server; mail goes on.\n";
            break;
        }
        case CControlClient::Result::NoServer: {
            // Held for the whole copy, so that no server starts meanwhile.
            const HomeLock::Result locked = lock.Acquire(home);
            if (locked != HomeLock::Result::Acquired) {
                err << "velmora backup: "
                    << (locked == HomeLock::Result::Held ? LockHolder(lock) + " but it does not answer; try again"
                                                         : lock.Error())
                    << "\n";
                return 1;
            }
            CMailDatabase probe;
            if (!CommandSupport::Connect(probe, "backup", err)) return 1;
            if (!HomeBackup::Snapshot(home, dir, taken, databaseCopied, error)) {
                err << "velmora backup: " << error << "\n";
                return 1;
            }
            break;
        }
        case CControlClient::Result::Failed:
            err << "velmora backup: the running server did not answer: " << error << "\n";
            return 1;
    }
    if (!HomeBackup::Complete(home, dir, taken, databaseCopied, out, error)) {
        err << "velmora backup: " << error << "; " << dir << " is no backup (it has no " << HomeBackup::kMarkerFile
            << " file)\n";
        return 1;
    }
    if (!databaseCopied)
        out << "The database is in PostgreSQL and is not in this copy: back it up with pg_dump at the same time.\n";
    out << "Backup of " << home << " complete in " << dir << "\n";
    return 0;
}

int BackupCommand::Restore(const std::string& home, const std::vector<std::string>& args, std::istream& in,
                           std::ostream& out, std::ostream& err, bool interactive) {
    std::vector<std::string> rest;
    bool confirmed = false;
    for (const std::string& arg : args) {
        if (arg == "--yes")
            confirmed = true;
        else
            rest.push_back(arg);
    }
    if (rest.size() != 1) {
        PrintUsage(err);
        return 64;
    }
    const std::string dir = Absolute(rest[0]);
    HomeLock lock;
    const HomeLock::Result locked = lock.Acquire(home);
    if (locked != HomeLock::Result::Acquired) {
        err << "velmora restore: "
            << (locked == HomeLock::Result::Held ? LockHolder(lock) + "; stop it first (velmora stop)" : lock.Error())
            << "\n";
        return 1;
    }
    if (::chdir(home.c_str()) != 0) {
        err << "velmora restore: the home " << home << " cannot be entered\n";
        return 1;
    }
    {
        CMailDatabase current;
        if (!CommandSupport::Connect(current, "restore", err)) return 1;
        const bool empty = mailstore::CountAllMessages(current.GetConnectionHandle()) == std::size_t{0};
        if (!empty && !confirmed) {
            switch (CommandSupport::Confirm("The home " + home + " holds mail; replace its database with the backup's?",
                                            in, out, interactive)) {
                case CommandSupport::Answer::Yes:
                    break;
                case CommandSupport::Answer::No:
                    err << "velmora restore: nothing was changed\n";
                    return 1;
                case CommandSupport::Answer::NotATerminal:
                    err << "velmora restore: the home holds mail; add --yes to replace it with the backup\n";
                    return 1;
            }
        }
    }
    HomeBackup::Restored result;
    std::string error;
    if (!HomeBackup::Restore(home, dir, result, error)) {
        err << "velmora restore: " << error << "\n";
        return 1;
    }
    out << "Restored " << dir << " into " << home << ": " << result.messages << " messages listed, " << result.files
        << " files copied\n";
    if (!result.databaseRestored)
        out << "The database is in PostgreSQL: restore it from its pg_dump before starting the server.\n";
    if (!result.missingMessages.empty()) {
        out << "Rows without their message file (deleted while the backup ran), dropped:\n";
        for (const std::string& id : result.missingMessages) out << "  " << id << "\n";
    }
    if (!result.missingQueued.empty()) {
        out << "Queue rows without their file (sent while the backup ran), dropped:\n";
        for (const std::string& file : result.missingQueued) out << "  " << file << "\n";
    }
    return 0;
}
