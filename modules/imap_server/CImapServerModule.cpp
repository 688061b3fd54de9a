// CImapServerModule: the IMAP server module's object and entry point (see
// the header).
#include "CImapServerModule.h"

#include "foundation/CModuleLog.h"

CImapServerModule::CImapServerModule() = default;

CImapServerModule::~CImapServerModule() {
    try {
        std::unique_ptr<CImapListener> ending;
        {
            MutexLock guard(lock);
            stopped = true;
            ending = std::move(listener);
        }
        ending.reset();  // stops and joins every thread
    } catch (...) {
    }
}

int CImapServerModule::IsIdle() {
    MutexLock guard(lock);
    return !listener || listener->ActiveSessions() == 0 ? 1 : 0;
}

void CImapServerModule::Stop() {
    try {
        MutexLock guard(lock);
        stopped = true;
        if (listener) listener->Stop();
        g_moduleLog.Write("IMAP server stopping");
    } catch (...) {
    }
}

void CImapServerModule::SetNotifyWindow(MessageWindow*) {}

void CImapServerModule::SetDatabase(CAccountDatabase* database) {
    try {
        MutexLock guard(lock);
        // The database lives as long as the host, which deletes this module first.
        if (stopped || listener || !database) return;
        auto starting = std::make_unique<CImapListener>(database);
        if (!starting->Start()) {
            g_moduleLog.Write("IMAP server: not listening");
            return;
        }
        listener = std::move(starting);
    } catch (...) {
        g_moduleLog.Write("IMAP server: start failed");
    }
}

void CImapServerModule::SetMailSpooler(CMailSpooler*) {
    // APPEND stores through the mailbox layer, not the spooler.
}

extern "C" CServerModule* InitServer() {
    try {
        return new CImapServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
