// CMailSpoolProcessor: the spool directory's worker thread (see the header).
//
// The thread waits in poll on the inotify descriptor and an eventfd; the
// eventfd is how StopProcessing wakes it at once instead of letting it sleep
// out its 10-second wait.
#include "spool/CMailSpoolProcessor.h"

#include "foundation/CModuleLog.h"
#include "foundation/StringFormat.h"
#include "spool/SpoolFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <exception>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kScanIntervalMs = 10000;

struct SpoolEntry {
    long long modified;  // nanoseconds
    std::string path;
};

}  // namespace

CMailSpoolProcessor::CMailSpoolProcessor(std::string directory) : directory(std::move(directory)) {}

CMailSpoolProcessor::~CMailSpoolProcessor() {
    StopProcessing();
}

void CMailSpoolProcessor::SetDatabase(CAccountDatabase* db) {
    database = db;
}

void CMailSpoolProcessor::SetRouter(CSpoolRouter* newRouter) {
    router = newRouter;
}

bool CMailSpoolProcessor::StartProcessing() {
    if (thread.joinable()) return running.load();
    UniqueFd notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // A file finished by a writer, or moved in whole (how spool files arrive).
    if (!notify || ::inotify_add_watch(notify.Get(), directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        g_moduleLog.Write(StringPrintf("*** Cannot watch spool directory %s", directory.c_str()));
        return false;
    }
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) {
        g_moduleLog.Write("*** Cannot create the spool processor's wake event");
        return false;
    }
    notifyFd = std::move(notify);
    wakeFd = std::move(wake);
    running.store(true);
    try {
        thread = std::thread(&CMailSpoolProcessor::Run, this);
    } catch (const std::exception& error) {
        running.store(false);
        g_moduleLog.Write(std::string("*** Cannot start the spool processor: ") + error.what());
        notifyFd.Reset();
        wakeFd.Reset();
        return false;
    }
    return true;
}

void CMailSpoolProcessor::StopProcessing() {
    running.store(false);
    if (wakeFd) {
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd.Get(), &one, sizeof one);
        (void)ignored;
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
        notifyFd.Reset();
        wakeFd.Reset();
    }
}

void CMailSpoolProcessor::Run() {
    // Files left from an earlier run go first, without waiting for a change.
    Scan(true);
    pollfd fds[2] = {{notifyFd.Get(), POLLIN, 0}, {wakeFd.Get(), POLLIN, 0}};
    while (running.load()) {
        const int ready = ::poll(fds, 2, kScanIntervalMs);
        if (ready < 0 && errno != EINTR) {
            g_moduleLog.Write("*** Spool processor wait failed");
            break;
        }
        if (!running.load()) break;
        DrainNotifications();
        Scan(true);
    }
}

void CMailSpoolProcessor::DrainNotifications() {
    alignas(inotify_event) char buffer[4096];
    while (::read(notifyFd.Get(), buffer, sizeof buffer) > 0) {
    }
}

std::vector<std::string> CMailSpoolProcessor::ListSpoolFiles() const {
    std::vector<SpoolEntry> entries;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (!spool::IsSpoolFileName(entry->d_name)) continue;
            std::string path = directory + "/" + entry->d_name;
            struct stat info {};
            // Empty files are skipped: no complete spool file is empty.
            if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 1) continue;
            const long long modified =
                static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
            entries.push_back({modified, std::move(path)});
        }
        ::closedir(dir);
    }
    // Oldest first, so that mail leaves in the order it came.
    std::sort(entries.begin(), entries.end(), [](const SpoolEntry& a, const SpoolEntry& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
    });
    std::vector<std::string> paths;
    paths.reserve(entries.size());
    for (SpoolEntry& entry : entries) paths.push_back(std::move(entry.path));
    return paths;
}

int CMailSpoolProcessor::ScanSpoolDirectory() {
    return Scan(false);
}

int CMailSpoolProcessor::Scan(bool stopWhenAsked) {
    int routed = 0;
    try {
        const std::vector<std::string> paths = ListSpoolFiles();
        for (const std::string& path : paths) {
            if (stopWhenAsked && !running.load()) break;
            routed += ProcessSpoolFile(path) ? 1 : 0;
        }
        // Forget failures of files that have gone.
        std::lock_guard<std::mutex> guard(failedLock);
        const std::set<std::string> present(paths.begin(), paths.end());
        std::erase_if(failedFiles, [&](const auto& item) { return present.count(item.first) == 0; });
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("*** Spool scan failed: ") + error.what());
    }
    return routed;
}

bool CMailSpoolProcessor::ProcessSpoolFile(const std::string& path) {
    CSpoolRouter* active = router ? router : &baseRouter;
    std::string reason;
    bool routed = false;
    try {
        routed = active->RouteSpoolFile(path, database, reason);
    } catch (const std::exception& error) {
        reason = std::string("exception: ") + error.what();
        routed = false;
    }
    if (routed) {
        ::unlink(path.c_str());
        std::lock_guard<std::mutex> guard(failedLock);
        failedFiles.erase(path);
        return true;
    }
    // One bad file must not hide the others, nor flood the log every scan.
    struct stat info {};
    std::pair<long long, long long> version{-1, -1};
    if (::stat(path.c_str(), &info) == 0)
        version = {static_cast<long long>(info.st_size),
                   static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    std::lock_guard<std::mutex> guard(failedLock);
    auto known = failedFiles.find(path);
    if (known == failedFiles.end() || known->second != version) {
        failedFiles[path] = version;
        g_moduleLog.Write(StringPrintf("*** Spool file %s not routed (%s); left for a later scan", path.c_str(),
                                       reason.empty() ? "router refused" : reason.c_str()));
    }
    return false;
}
