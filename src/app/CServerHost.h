// CServerHost: the account database, the mail spooler, the event thread and
// the loaded server modules of one running server.
//
// StartServerHost brings them up in order (finishing on the way the
// deletions a stopped server had begun) and loads the modules;
// StopServerHost tells every module to stop, waits until the event sinks
// are idle, unloads the modules and ends the event thread.
#pragma once

#include <chrono>
#include <memory>

#include "app/CEventThread.h"
#include "app/CServerModuleList.h"
#include "platform/MessageThreadOwner.h"

class CMailDatabase;
class CMailSpooler;

class CServerHost {
public:
    CServerHost();
    ~CServerHost();
    CServerHost(const CServerHost&) = delete;
    CServerHost& operator=(const CServerHost&) = delete;

    // Set before StartServerHost: what the file event sink does with a
    // message a module hands in (0x403).
    void SetRouteHandler(CFileEventSink::RouteHandler handler) { route = std::move(handler); }
    // Set before StartServerHost: how the file event sink sends on a
    // Netware outbox file (0x40C).
    void SetImportHandler(CFileEventSink::ImportHandler handler) { import = std::move(handler); }
    // The pause before the first idle check and between checks (1 s), and
    // the longest wait for idle sinks before the modules are unloaded anyway.
    void SetStopTiming(std::chrono::milliseconds poll, std::chrono::milliseconds limit) {
        pollInterval = poll;
        stopLimit = limit;
    }

    bool StartServerHost();
    void StopServerHost();
    bool AreServersIdle() const;

    CMailDatabase* GetDatabase() const { return database.get(); }
    CServerModuleList& GetModules() { return modules; }
    CServerEventSink* GetServerSink() const { return eventThread->GetServerSink(); }
    CMailSpooler* GetSpooler() const { return spooler.get(); }

private:
    std::unique_ptr<CMailDatabase> database;
    MessageThreadOwner<CEventThread> eventThread;
    std::unique_ptr<CMailSpooler> spooler;
    CServerModuleList modules;
    CFileEventSink::RouteHandler route;
    CFileEventSink::ImportHandler import;
    std::chrono::milliseconds pollInterval{1000};
    std::chrono::milliseconds stopLimit{30000};
};
