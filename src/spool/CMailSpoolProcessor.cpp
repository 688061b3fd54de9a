// CMailSpoolProcessor: the spool directory's thread and workers (see the
// header).
//
// The thread waits in poll on the inotify descriptor and an eventfd; the
// eventfd is how StopProcessing wakes it at once instead of letting it sleep
// out its wait between listings. Notifications carry the file's name, so a busy
// spool is not listed again for every message that arrives.
#include "spool/CMailSpoolProcessor.h"

#include "foundation/CAccountDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/Invariant.h"
#include "platform/ReaderLock.h"
#include "spool/CSpoolFilePool.h"
#include "spool/SpoolFile.h"
#include "store/CSpoolServedRows.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SpoolEntry {
    long long modified;  // nanoseconds
    std::string path;
};

// A regular file of at least one byte: no complete spool file is empty.
bool IsWaitingFile(const std::string& path, long long* modified = nullptr) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 1) return false;
    if (modified) *modified = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return true;
}

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

int CMailSpoolProcessor::ConfiguredScanInterval() {
    return static_cast<int>(settings::Dword{settings::kPreferences, "SpoolScanInterval"}.Value());
}

int CMailSpoolProcessor::ConfiguredWorkerCount(bool databaseIsServer) {
    // No default of its own: absent, the count follows the machine.
    constexpr settings::Dword kThreads{settings::kPreferences, "SpoolThreadCount"};
    if (const std::optional<std::uint32_t> value = kThreads.Stored(); value && *value >= kThreads.Minimum())
        return static_cast<int>(std::min(*value, kThreads.Maximum()));
    const unsigned processors = std::thread::hardware_concurrency();
    // A worker spends most of a message waiting: for the disk's syncs, which
    // the workers storing at once share, and on a database server for its
    // statements' answers. Enough of them keep delivery up with intake on a
    // busy machine; the bound keeps the connections few.
    (void)databaseIsServer;
    return static_cast<int>(std::clamp(processors * 4, 8u, 32u));
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
    // Kept files of an earlier run: nothing in them, and not known to the pool.
    CSpoolFilePool::Instance().Sweep(directory);
    // Served marks of spool files an earlier run saw go (those of files
    // still here say which of their recipients are served).
    if (database) {
        std::set<std::string> present;
        for (const std::string& path : ListSpoolFiles()) present.insert(path.substr(path.rfind('/') + 1));
        CSpoolServedRows::Sweep(database->GetConnectionHandle(), present);
    }
    scanIntervalMs = ConfiguredScanInterval();
    running.store(true);
    const int count =
        requestedWorkers > 0 ? std::min(requestedWorkers, kMaxWorkers) : ConfiguredWorkerCount(databaseIsServer);
    try {
        for (int i = 0; i < count; ++i) workers.emplace_back(&CMailSpoolProcessor::Work, this);
        thread = std::thread(&CMailSpoolProcessor::Run, this);
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("*** Cannot start the spool processor: ") + error.what());
        if (workers.empty()) {
            running.store(false);
            notifyFd.Reset();
            wakeFd.Reset();
            return false;
        }
        // Fewer workers than asked still route everything.
        if (!thread.joinable()) {
            StopProcessing();
            return false;
        }
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
    {
        MutexLock guard(queueLock);
        for (const std::string& path : queue) claimed.erase(path);
        queue.clear();
    }
    queueReady.notify_all();
    const auto self = std::this_thread::get_id();
    if (thread.joinable() && thread.get_id() != self) thread.join();
    for (std::thread& worker : workers)
        if (worker.joinable() && worker.get_id() != self) worker.join();
    if (!thread.joinable() && std::none_of(workers.begin(), workers.end(), [](auto& w) { return w.joinable(); })) {
        workers.clear();
        notifyFd.Reset();
        wakeFd.Reset();
    }
}

void CMailSpoolProcessor::Run() {
    // Files left from an earlier run go first, without waiting for a change.
    QueueListing();
    auto listed = std::chrono::steady_clock::now();
    pollfd fds[2] = {{notifyFd.Get(), POLLIN, 0}, {wakeFd.Get(), POLLIN, 0}};
    while (running.load()) {
        const int ready = ::poll(fds, 2, scanIntervalMs);
        if (ready < 0 && errno != EINTR) {
            g_moduleLog.Write("*** Spool processor wait failed");
            break;
        }
        if (!running.load()) break;
        bool listingDue = !QueueNotified();
        // Files left behind are tried again at every listing, also while
        // notifications keep the thread from ever timing out.
        const auto now = std::chrono::steady_clock::now();
        if (now - listed >= std::chrono::milliseconds(scanIntervalMs)) listingDue = true;
        if (listingDue) {
            QueueListing();
            listed = now;
        }
    }
}

bool CMailSpoolProcessor::QueueNotified() {
    alignas(inotify_event) char buffer[4096];
    bool complete = true;
    for (;;) {
        const ssize_t n = ::read(notifyFd.Get(), buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) complete = false;
            if (event->len == 0 || at > n) continue;
            const std::string name(event->name, ::strnlen(event->name, event->len));
            if (!spool::IsSpoolFileName(name)) continue;
            std::string path = directory + "/" + name;
            if (IsWaitingFile(path)) Queue(std::move(path));
        }
    }
    return complete;
}

void CMailSpoolProcessor::QueueListing() {
    try {
        const std::vector<std::string> paths = ListSpoolFiles();
        for (const std::string& path : paths) Queue(path);
        ForgetGoneFailures(paths);
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("*** Spool scan failed: ") + error.what());
    }
}

void CMailSpoolProcessor::Queue(std::string path) {
    {
        MutexLock guard(queueLock);
        if (!running.load() || !claimed.insert(path).second) return;
        queue.push_back(std::move(path));
    }
    queueReady.notify_one();
}

bool CMailSpoolProcessor::Claim(const std::string& path) {
    MutexLock guard(queueLock);
    return claimed.insert(path).second;
}

void CMailSpoolProcessor::Release(const std::string& path) {
    MutexLock guard(queueLock);
    const std::size_t released = claimed.erase(path);
    VELMORA_INVARIANT(released == 1, "a spool file released that no worker had claimed");
}

void CMailSpoolProcessor::Work() {
    // The worker's own connection keeps its statements and transactions out
    // of the other workers' way; without one the shared database serves.
    std::unique_ptr<CAccountDatabase> own;
    if (databaseMaker) {
        try {
            own = databaseMaker();
        } catch (const std::exception& error) {
            g_moduleLog.Write(std::string("*** A spool worker has no connection of its own: ") + error.what());
        }
    }
    CAccountDatabase* db = own ? own.get() : database;
    for (;;) {
        std::string path;
        {
            MutexLock guard(queueLock);
            while (queue.empty() && running.load()) queueReady.wait(guard);
            if (!running.load()) break;
            path = std::move(queue.front());
            queue.pop_front();
        }
        Route(path, db);
        Release(path);
    }
}

std::vector<std::string> CMailSpoolProcessor::ListSpoolFiles() const {
    std::vector<SpoolEntry> entries;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (!spool::IsSpoolFileName(entry->d_name)) continue;
            std::string path = directory + "/" + entry->d_name;
            long long modified = 0;
            if (IsWaitingFile(path, &modified)) entries.push_back({modified, std::move(path)});
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

void CMailSpoolProcessor::ForgetGoneFailures(const std::vector<std::string>& present) {
    const std::set<std::string> names(present.begin(), present.end());
    MutexLock guard(failedLock);
    std::erase_if(failedFiles, [&](const auto& item) { return names.count(item.first) == 0; });
}

int CMailSpoolProcessor::ScanSpoolDirectory() {
    int routed = 0;
    try {
        const std::vector<std::string> paths = ListSpoolFiles();
        for (const std::string& path : paths) routed += ProcessSpoolFile(path) ? 1 : 0;
        ForgetGoneFailures(paths);
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("*** Spool scan failed: ") + error.what());
    }
    return routed;
}

bool CMailSpoolProcessor::ProcessSpoolFile(const std::string& path) {
    if (!Claim(path)) return false;
    const bool routed = Route(path, database);
    Release(path);
    return routed;
}

bool CMailSpoolProcessor::Route(const std::string& path, CAccountDatabase* db) {
    CSpoolRouter* active = router ? router : &baseRouter;
    std::string reason;
    bool routed = false;
    ReaderLock gate(routingGate);
    try {
        routed = active->RouteSpoolFile(path, db, reason);
    } catch (const std::exception& error) {
        reason = std::string("exception: ") + error.what();
        routed = false;
    }
    if (routed) {
        CSpoolFilePool::Instance().Recycle(path);
        CSpoolServedRows::Forget(path.substr(path.rfind('/') + 1));
        gate.unlock();
        MutexLock guard(failedLock);
        failedFiles.erase(path);
        return true;
    }
    // One bad file must not hide the others, nor flood the log every scan.
    struct stat info {};
    std::pair<long long, long long> version{-1, -1};
    if (::stat(path.c_str(), &info) == 0)
        version = {static_cast<long long>(info.st_size),
                   static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    MutexLock guard(failedLock);
    auto known = failedFiles.find(path);
    if (known == failedFiles.end() || known->second != version) {
        failedFiles[path] = version;
        g_moduleLog.Write(StringPrintf("*** Spool file %s not routed (%s); left for a later scan", path.c_str(),
                                       reason.empty() ? "router refused" : reason.c_str()));
    }
    return false;
}
