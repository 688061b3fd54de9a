// CServerApplication: the running server without a console.
//
// Start-up, in order: the home becomes the working directory and is locked
// (one server per home), the settings file, the data source and the
// start-up settings are checked, the application's own database connection
// is opened, the diagnostic log opens, message files an interrupted server
// left unlisted are removed, the start-up switches are read, the server host
// loads the modules (giving the SMTP server the spooler), what they listen
// on is printed, and only then the spool processor starts. With no module
// loaded, or a listener that cannot bind, the process ends at once and says
// why. Then the send and receive cycle starts (a first cycle with
// SendReceiveOnStartup), the Netware gateway's timer and the control socket
// open, and a service manager is told the server is ready. SIGTERM, SIGINT or
// the control socket's stop request shut down in order: control socket,
// Netware gateway, send and receive cycle, spool processor, modules (stopped, idle,
// unloaded), log, the socket file, the home's lock.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "foundation/OdbcConnection.h"
#include "platform/HomeLock.h"

class CServerHost;
class CMailSpoolProcessor;
class CSpoolRouter;
class CMailLog;
class CSendReceiveCycle;
class CScheduler;
class CControlServer;
class CNetwareGateway;

class CServerApplication {
public:
    CServerApplication();
    ~CServerApplication();
    CServerApplication(const CServerApplication&) = delete;
    CServerApplication& operator=(const CServerApplication&) = delete;

    // Brings the server up; false (with the reason on err) when it cannot run.
    bool Start(const std::string& home, std::ostream& err);
    // Waits for SIGTERM or SIGINT (blocked by BlockStopSignals), answering a
    // service manager's watchdog meanwhile.
    void WaitForStop();
    void Stop();

    // Blocks the stop signals in the calling thread, so every thread
    // started afterwards inherits the mask and only WaitForStop sees them.
    static void BlockStopSignals();

    CServerHost* GetHost() const { return host.get(); }
    CSendReceiveCycle* GetCycle() const { return cycle.get(); }

    // The control socket's answer to one request line.
    std::string ControlRequest(const std::string& request);

private:
    // Prints what each module listens on; false (with the reasons printed)
    // when a listener failed.
    bool ReportListeners(std::ostream& err);
    // Undoes the first steps of a start that ends before the log opens.
    bool Abandon();
    std::string StatusReport();
    // The request "status-json": the same status and more for scripts and
    // monitors, as one JSON object.
    std::string StatusJson();
    // The request "backup-snapshot DIR": the backup's moment, taken while
    // the spool workers wait.
    static constexpr const char* kBackupRequest = "backup-snapshot ";
    std::string BackupSnapshot(const std::string& dir);

    HomeLock homeLock;
    bool storeSwept = false;  // message files an interrupted server left were looked at
    // Made in Start, after the home is known: the driver manager reads the
    // location of its data-source files once, at the first ODBC call.
    std::unique_ptr<OdbcEnvironment> environment;
    std::unique_ptr<OdbcConnection> connection;
    std::unique_ptr<CServerHost> host;
    std::unique_ptr<CMailLog> mailLog;
    std::unique_ptr<CSpoolRouter> router;
    std::unique_ptr<CMailSpoolProcessor> spoolProcessor;
    // Declared before the cycle, which asks it on its ticks.
    std::unique_ptr<CScheduler> scheduler;
    std::unique_ptr<CSendReceiveCycle> cycle;
    std::unique_ptr<CNetwareGateway> gateway;
    std::unique_ptr<CControlServer> control;
    std::string homeDir;
    std::chrono::steady_clock::time_point startedAt{};
    std::atomic<bool> stopAsked{false};  // the control socket asked for the stop
    bool stopped = true;
};
