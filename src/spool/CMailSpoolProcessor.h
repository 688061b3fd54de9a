// CMailSpoolProcessor: the worker thread that drains the spool directory.
//
// It wakes when a file is moved or written into the directory (inotify) and
// at least every 10 seconds, and hands each non-empty spool file to its
// router. A file is deleted only after the router has accepted it; a file
// that cannot be read or routed stays, is logged once, and is tried again
// at later scans while the other files go on. Leftover files from an
// earlier run are routed by the first scan, made as the thread starts.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"
#include "spool/CSpoolRouter.h"

class CAccountDatabase;

class CMailSpoolProcessor {
public:
    // directory is relative to the process's working directory (the home).
    explicit CMailSpoolProcessor(std::string directory = "SMTPSpooler");
    // Stops and joins the thread.
    ~CMailSpoolProcessor();
    CMailSpoolProcessor(const CMailSpoolProcessor&) = delete;
    CMailSpoolProcessor& operator=(const CMailSpoolProcessor&) = delete;

    // Set before StartProcessing. Neither is owned; a null router means the
    // base CSpoolRouter.
    void SetDatabase(CAccountDatabase* database);
    void SetRouter(CSpoolRouter* router);

    // Starts watching the directory and the thread; false (and no thread)
    // when the directory cannot be watched.
    bool StartProcessing();
    // Clears the running flag, wakes the thread and waits for it to end; the
    // file being routed at that moment is finished first.
    void StopProcessing();
    bool IsRunning() const { return running.load(); }

    // Routes one spool file and deletes it when routing succeeded.
    bool ProcessSpoolFile(const std::string& path);
    // One scan of the directory, on the caller's thread: the number of files
    // routed.
    int ScanSpoolDirectory();

    const std::string& GetSpoolDirectory() const { return directory; }
    // The address of the recipient being routed ("user@domain"), for routing.
    void SetRoutingAddress(std::string address) { routingAddress = std::move(address); }
    const std::string& GetRoutingAddress() const { return routingAddress; }

private:
    void Run();
    int Scan(bool stopWhenAsked);
    // Spool files of at least one byte, oldest first.
    std::vector<std::string> ListSpoolFiles() const;
    void DrainNotifications();

    std::string directory;
    std::atomic<bool> running{false};
    UniqueFd notifyFd;
    UniqueFd wakeFd;
    std::thread thread;
    std::string routingAddress;
    CAccountDatabase* database = nullptr;
    CSpoolRouter* router = nullptr;
    CSpoolRouter baseRouter;
    // Files already logged as left in place, with the size and time they
    // had: logged again only when they change.
    std::mutex failedLock;
    std::map<std::string, std::pair<long long, long long>> failedFiles;
};
