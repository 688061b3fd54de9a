// CServerHost: start-up and shutdown of the module host.
#include "app/CServerHost.h"

#include <thread>

#include "app/CServerModule.h"
#include "foundation/CListenerReport.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "spool/CMailSpooler.h"
#include "store/MailStorePaths.h"
#include "store/MarkedDeletions.h"

CServerHost::CServerHost() = default;

CServerHost::~CServerHost() {
    // Modules may still hold the sinks, the spooler and the database.
    modules.UnloadServers();
    eventThread.Stop();
    spooler.reset();
    database.reset();
}

bool CServerHost::StartServerHost() {
    database = std::make_unique<CMailDatabase>();
    spooler = std::make_unique<CMailSpooler>(database.get());
    if (!database->Open()) return false;
    // Opening cleared the account locks a stopped server left; the deletions
    // it had begun are finished before any session lists a mailbox again.
    mailstore::FinishMarkedDeletions(database->GetConnectionHandle(), mailstore::ReadMailDirectory(),
                                     mailstore::RemovesDeletedFiles());
    eventThread->SetConnection(database->GetConnectionHandle());
    eventThread->SetRouteHandler(route);
    eventThread->SetImportHandler(import);
    // CreateThread returns once the sink windows exist.
    if (!eventThread.Start()) return false;
    // The modules tell what they bound while they are loaded.
    g_listenerReport.Clear();
    return modules.LoadServers(eventThread->GetServerSink(), database.get(), spooler.get()) != 0;
}

void CServerHost::StopServerHost() {
    for (const auto& entry : modules.GetModules()) entry.module->Stop();
    const auto deadline = std::chrono::steady_clock::now() + stopLimit;
    std::this_thread::sleep_for(pollInterval);
    // A module that never becomes idle must not keep the process from
    // ending: after the limit its work is abandoned.
    while (eventThread->IsRunning() && !eventThread->IsIdle()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            g_moduleLog.Write("Server modules still busy at shutdown; unloading them anyway");
            break;
        }
        std::this_thread::sleep_for(pollInterval);
    }
    modules.UnloadServers();
    eventThread.Stop();
}

bool CServerHost::AreServersIdle() const {
    for (const auto& entry : modules.GetModules())
        if (entry.module->IsIdle() == 0) return false;
    return true;
}
