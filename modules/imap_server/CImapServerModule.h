// CImapServerModule: the module object that "IMAP_Server.so" hands the host.
//
// Once the host gives it the account database it starts listening. Stop
// ends listening and asks the sessions to finish; IsIdle tells the host
// when no session is left; deleting the object joins every thread, so the
// library can be unloaded right after. Nothing thrown inside reaches the host.
#pragma once

#include <memory>

#include "CImapListener.h"
#include "ModuleVisibility.h"
#include "app/CServerModule.h"
#include "platform/MutexLock.h"

class MODULE_LOCAL CImapServerModule : public CServerModule {
public:
    CImapServerModule();
    ~CImapServerModule() override;

    int IsIdle() override;
    void Stop() override;
    void SetNotifyWindow(MessageWindow* serverEventSink) override;
    void SetDatabase(CAccountDatabase* database) override;
    void SetMailSpooler(CMailSpooler* spooler) override;

private:
    Mutex lock;  // the listener and whether the module stopped
    bool stopped GUARDED_BY(lock) = false;
    std::unique_ptr<CImapListener> listener GUARDED_BY(lock);
};

extern "C" MODULE_EXPORT CServerModule* InitServer();
