// CServiceModule: the module object a listening service's library hands the
// host.
//
// Once the host gives it the account database it starts listening. Stop
// ends listening and asks the sessions to finish; IsIdle tells the host
// when no session is left; deleting the object joins every thread, so the
// library can be unloaded right after. Nothing thrown inside reaches the
// host. Listener is the service's listener (Start, Stop, ActiveSessions),
// made from the account database; name is what the log lines call it.
#pragma once

#include <memory>
#include <string>

#include "ModuleVisibility.h"
#include "app/CServerModule.h"
#include "foundation/CModuleLog.h"
#include "platform/MutexLock.h"

template <class Listener>
class MODULE_LOCAL CServiceModule : public CServerModule {
public:
    explicit CServiceModule(std::string name) : name(std::move(name)) {}
    ~CServiceModule() override {
        try {
            std::unique_ptr<Listener> ending;
            {
                MutexLock guard(lock);
                stopped = true;
                ending = std::move(listener);
            }
            ending.reset();  // stops and joins every thread
        } catch (...) {
        }
    }

    int IsIdle() override {
        MutexLock guard(lock);
        return !listener || listener->ActiveSessions() == 0 ? 1 : 0;
    }
    void Stop() override {
        try {
            MutexLock guard(lock);
            stopped = true;
            if (listener) listener->Stop();
            g_moduleLog.Write(name + " stopping");
        } catch (...) {
        }
    }
    void SetNotifyWindow(MessageWindow*) override {}
    void SetDatabase(CAccountDatabase* database) override {
        try {
            MutexLock guard(lock);
            // The database lives as long as the host, which deletes this module first.
            if (stopped || listener || !database) return;
            auto starting = std::make_unique<Listener>(database);
            if (!starting->Start()) {
                g_moduleLog.Write(name + ": not listening");
                return;
            }
            listener = std::move(starting);
        } catch (...) {
            g_moduleLog.Write(name + ": start failed");
        }
    }
    // Reading services store nothing through the spooler.
    void SetMailSpooler(CMailSpooler*) override {}

private:
    const std::string name;
    Mutex lock;  // the listener and whether the module stopped
    bool stopped GUARDED_BY(lock) = false;
    std::unique_ptr<Listener> listener GUARDED_BY(lock);
};
