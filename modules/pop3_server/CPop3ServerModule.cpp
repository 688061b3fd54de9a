// CPop3ServerModule: the POP3 server module's object and entry point (see
// the header).
#include "CPop3ServerModule.h"

#include "foundation/CModuleLog.h"

CPop3ServerModule::CPop3ServerModule() = default;

CPop3ServerModule::~CPop3ServerModule() {
    try {
        std::unique_ptr<CPop3Listener> ending;
        {
            MutexLock guard(lock);
            stopped = true;
            ending = std::move(listener);
        }
        ending.reset();  // stops and joins every thread
    } catch (...) {
    }
}

int CPop3ServerModule::IsIdle() {
    MutexLock guard(lock);
    return !listener || listener->ActiveSessions() == 0 ? 1 : 0;
}

void CPop3ServerModule::Stop() {
    try {
        MutexLock guard(lock);
        stopped = true;
        if (listener) listener->Stop();
        g_moduleLog.Write("POP3 server stopping");
    } catch (...) {
    }
}

void CPop3ServerModule::SetNotifyWindow(MessageWindow*) {}

void CPop3ServerModule::SetDatabase(CAccountDatabase* database) {
    try {
        MutexLock guard(lock);
        // The database lives as long as the host, which deletes this module first.
        if (stopped || listener || !database) return;
        auto starting = std::make_unique<CPop3Listener>(database);
        if (!starting->Start()) {
            g_moduleLog.Write("POP3 server: not listening");
            return;
        }
        listener = std::move(starting);
    } catch (...) {
        g_moduleLog.Write("POP3 server: start failed");
    }
}

void CPop3ServerModule::SetMailSpooler(CMailSpooler*) {
    // The POP3 server only reads mailboxes.
}

extern "C" CServerModule* InitServer() {
    try {
        return new CPop3ServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
