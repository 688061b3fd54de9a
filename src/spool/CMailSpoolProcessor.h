// CMailSpoolProcessor: the thread that drains the spool directory, and the
// workers that route its files.
//
// The processor's own thread wakes when a file is moved or written into the
// directory (inotify) and at least every 10 seconds (`Preferences`/
// "SpoolScanInterval", in milliseconds). A notification names the new file,
// which goes straight to the workers; at that interval (and when
// notifications were lost) the whole directory is listed, oldest first, so
// files left from an earlier run or not routed before are tried again.
//
// Several workers route at once (`Preferences`/"SpoolThreadCount", else four
// per processor, at least 8 and at most 32: a worker mostly waits for syncs
// or a database server), each on its own database connection when a
// maker for one is given. A file is claimed by one worker at a time
// and deleted only after its router accepted it; a file that cannot be read
// or routed stays, is logged once, and is tried again at later listings
// while the other files go on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/SettingValue.h"
#include "platform/MutexLock.h"
#include "platform/UniqueFd.h"
#include "platform/WriterLock.h"
#include "spool/CSpoolRouter.h"

class CAccountDatabase;

class CMailSpoolProcessor {
public:
    // A worker's own database, made on the worker's thread; null means the
    // shared one given to SetDatabase.
    using DatabaseMaker = std::function<std::unique_ptr<CAccountDatabase>()>;
    static constexpr int kMaxWorkers = settings::Dword{settings::kPreferences, "SpoolThreadCount"}.Maximum();
    static constexpr int kDefaultScanIntervalMs =
        settings::Dword{settings::kPreferences, "SpoolScanInterval"}.Default();

    // directory is relative to the process's working directory (the home).
    explicit CMailSpoolProcessor(std::string directory = "SMTPSpooler");
    // Stops and joins the threads.
    ~CMailSpoolProcessor();
    CMailSpoolProcessor(const CMailSpoolProcessor&) = delete;
    CMailSpoolProcessor& operator=(const CMailSpoolProcessor&) = delete;

    // Set before StartProcessing. Neither is owned; a null router means the
    // base CSpoolRouter.
    void SetDatabase(CAccountDatabase* database);
    void SetRouter(CSpoolRouter* router);
    void SetWorkerDatabaseMaker(DatabaseMaker maker) { databaseMaker = std::move(maker); }
    // 0 (the default) reads the setting at StartProcessing.
    void SetWorkerCount(int count) { requestedWorkers = count; }
    // Whether the workers' database is a server reached over round trips:
    // a worker then mostly waits for answers, and more of them keep the
    // processors busy. Set before StartProcessing.
    void SetDatabaseIsServer(bool server) { databaseIsServer = server; }
    // The setting's value, else four per processor, at least 8, at most 32.
    static int ConfiguredWorkerCount(bool databaseIsServer = false);
    // Milliseconds between listings of the whole directory: the setting's
    // value when in range, else 10 seconds.
    static int ConfiguredScanInterval();

    // Starts watching the directory and the threads; false (and no thread)
    // when the directory cannot be watched.
    bool StartProcessing();
    // Clears the running flag, wakes the threads and waits for them to end;
    // the files being routed at that moment are finished first.
    void StopProcessing();
    bool IsRunning() const { return running.load(); }
    int GetWorkerCount() const { return static_cast<int>(workers.size()); }

    // Routes one spool file and deletes it when routing succeeded; false
    // also when another thread has the file.
    bool ProcessSpoolFile(const std::string& path);
    // One listing of the directory, routed on the caller's thread: the
    // number of files routed.
    int ScanSpoolDirectory();

    const std::string& GetSpoolDirectory() const { return directory; }

    // Holds every worker between spool files for as long as the lock lives:
    // no message is half routed then (its file stored but not its rows, or
    // stored but its spool file still there), which is what a backup's
    // snapshot of the database and the spool needs.
    WriterLock HoldRouting() { return WriterLock(routingGate); }

private:
    void Run();
    void Work();
    // Lists the directory and queues what no thread has.
    void QueueListing();
    // Queues the spool files that notifications name; false when the kernel
    // dropped notifications (a listing is then due).
    bool QueueNotified();
    void Queue(std::string path);
    bool Claim(const std::string& path);
    void Release(const std::string& path);
    bool Route(const std::string& path, CAccountDatabase* db);
    // Spool files of at least one byte, oldest first.
    std::vector<std::string> ListSpoolFiles() const;
    void ForgetGoneFailures(const std::vector<std::string>& present);

    std::string directory;
    std::atomic<bool> running{false};
    UniqueFd notifyFd;
    UniqueFd wakeFd;
    std::thread thread;
    std::vector<std::thread> workers;
    int requestedWorkers = 0;
    int scanIntervalMs = kDefaultScanIntervalMs;
    bool databaseIsServer = false;
    DatabaseMaker databaseMaker;
    CAccountDatabase* database = nullptr;
    CSpoolRouter* router = nullptr;
    CSpoolRouter baseRouter;
    // Files queued or being routed; each is in at most one thread's hands.
    Mutex queueLock;  // the files waiting and the files a worker has claimed
    std::condition_variable_any queueReady;
    std::deque<std::string> queue GUARDED_BY(queueLock);
    std::set<std::string> claimed GUARDED_BY(queueLock);
    // Files already logged as left in place, with the size and time they
    // had: logged again only when they change.
    SharedMutex routingGate;  // shared while a file is routed and recycled
    Mutex failedLock;  // the files whose routing failed, with when they may be retried
    std::map<std::string, std::pair<long long, long long>> failedFiles GUARDED_BY(failedLock);
};
