// CServiceModule: the module object a listening service's library hands the
// host.
//
// A reading service (POP3, IMAP) starts listening once the host gives it
// the account database. A service whose listener also takes the mail
// spooler (SMTP) starts once it has the spooler: its sessions hold the
// database given by then, and a missing one makes local recipients wait
// with 451. Stop ends listening and asks the sessions to finish; IsIdle
// tells the host when no session is left; deleting the object joins every
// thread, so the library can be unloaded right after. Nothing thrown inside
// reaches the host. Listener is the service's listener (Start, Stop,
// ActiveSessions); name is what the log lines call it. The database and the
// spooler live as long as the host, which deletes the module first.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

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
    void SetDatabase(CAccountDatabase* given) override {
        try {
            MutexLock guard(lock);
            database = given;
            StartWhenReady();
        } catch (...) {
            g_moduleLog.Write(name + ": start failed");
        }
    }
    void SetMailSpooler(CMailSpooler* given) override {
        if constexpr (kTakesSpooler) {
            try {
                MutexLock guard(lock);
                spooler = given;
                StartWhenReady();
            } catch (...) {
                g_moduleLog.Write(name + ": start failed");
            }
        }
    }

private:
    static constexpr bool kTakesSpooler = std::is_constructible_v<Listener, CAccountDatabase*, CMailSpooler*>;

    void StartWhenReady() REQUIRES(lock) {
        if (stopped || listener || !(kTakesSpooler ? spooler != nullptr : database != nullptr)) return;
        std::unique_ptr<Listener> starting;
        if constexpr (kTakesSpooler)
            starting = std::make_unique<Listener>(database, spooler);
        else
            starting = std::make_unique<Listener>(database);
        if (!starting->Start()) {
            g_moduleLog.Write(name + ": not listening");
            return;
        }
        listener = std::move(starting);
    }

    const std::string name;
    Mutex lock;  // what the module was given, its listener and whether it stopped
    CAccountDatabase* database GUARDED_BY(lock) = nullptr;
    CMailSpooler* spooler GUARDED_BY(lock) = nullptr;
    bool stopped GUARDED_BY(lock) = false;
    std::unique_ptr<Listener> listener GUARDED_BY(lock);
};
