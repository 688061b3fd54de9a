// CServerApplication: the running server without a console.
//
// Start-up, in order: the home becomes the working directory, the settings
// are checked, the application's own database connection is opened, the
// diagnostic log opens, the server host loads the modules (giving the SMTP
// server the spooler), the spool processor starts and the start-up switches
// are read. With no module loaded the process ends at once; the log says
// why. SIGTERM or SIGINT shut down in order: spool processor, modules
// (stopped, idle, unloaded), log.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "foundation/OdbcConnection.h"

class CServerHost;
class CMailSpoolProcessor;
class CSpoolRouter;
class CMailLog;

class CServerApplication {
public:
    CServerApplication();
    ~CServerApplication();
    CServerApplication(const CServerApplication&) = delete;
    CServerApplication& operator=(const CServerApplication&) = delete;

    // Brings the server up; false (with the reason on err) when it cannot run.
    bool Start(const std::string& home, std::ostream& err);
    // Waits for SIGTERM or SIGINT (blocked by BlockStopSignals).
    void WaitForStop();
    void Stop();

    // Blocks the stop signals in the calling thread, so every thread
    // started afterwards inherits the mask and only WaitForStop sees them.
    static void BlockStopSignals();

    CServerHost* GetHost() const { return host.get(); }

private:
    // Made in Start, after the home is known: the driver manager reads the
    // location of its data-source files once, at the first ODBC call.
    std::unique_ptr<OdbcEnvironment> environment;
    std::unique_ptr<OdbcConnection> connection;
    std::unique_ptr<CServerHost> host;
    std::unique_ptr<CMailLog> mailLog;
    std::unique_ptr<CSpoolRouter> router;
    std::unique_ptr<CMailSpoolProcessor> spoolProcessor;
    bool stopped = true;
};
