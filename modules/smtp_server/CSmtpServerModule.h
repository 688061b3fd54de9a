// CSmtpServerModule: the module object that "SMTP_Server.so" hands the host.
//
// The host gives it a notification window, the account database and then
// the mail spooler; once it has the database and the spooler it starts
// listening. Stop ends listening and asks the sessions to finish; IsIdle
// tells the host when no session is left; deleting the object joins every
// thread, so the library can be unloaded right after. Nothing thrown inside
// ever reaches the host.
#pragma once

#include <memory>

#include "CSmtpListener.h"
#include "ModuleVisibility.h"
#include "app/CServerModule.h"
#include "platform/MutexLock.h"

class MODULE_LOCAL CSmtpServerModule : public CServerModule {
public:
    CSmtpServerModule();
    ~CSmtpServerModule() override;

    int IsIdle() override;
    void Stop() override;
    void SetNotifyWindow(MessageWindow* serverEventSink) override;
    void SetDatabase(CAccountDatabase* database) override;
    void SetMailSpooler(CMailSpooler* spooler) override;

private:
    void StartWhenReady() REQUIRES(lock);

    Mutex lock;  // what the module was started with, its listener and whether it stopped
    MessageWindow* notifyWindow GUARDED_BY(lock) = nullptr;
    CAccountDatabase* database GUARDED_BY(lock) = nullptr;
    CMailSpooler* spooler GUARDED_BY(lock) = nullptr;
    bool stopped GUARDED_BY(lock) = false;
    std::unique_ptr<CSmtpListener> listener GUARDED_BY(lock);
};

extern "C" MODULE_EXPORT CServerModule* InitServer();
