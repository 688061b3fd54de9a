// CServerModule and CFilterHandler: what a loadable server module and the
// administrative filter plug-in hand to the host.
//
// A module is a shared object with the entry point `extern "C"
// CServerModule* InitServer()`; the plug-in has `extern "C" CFilterHandler*
// InitHandler()`. The host calls the objects only through these tables, so
// the order of the virtual operations is the modules' binary interface:
// never reorder, only append. The reserved slots are never called by the
// host; a module may use them for its own purposes.
#pragma once

#include <sql.h>

class CAccountDatabase;
class CMailSpooler;
class MailInfo;
class MessageWindow;

class CServerModule {
public:
    virtual ~CServerModule() = default;                                // 1
    virtual int IsIdle() = 0;                                          // 2: nonzero when it may be unloaded
    virtual int Reserved3() { return 0; }                              // 3
    virtual void Stop() = 0;                                           // 4: stop accepting work
    virtual int Reserved5() { return 0; }                              // 5
    virtual int Reserved6() { return 0; }                              // 6
    virtual int Reserved7() { return 0; }                              // 7
    virtual void SetNotifyWindow(MessageWindow* serverEventSink) = 0;  // 8
    virtual void SetDatabase(CAccountDatabase* database) = 0;          // 9
    virtual void SetMailSpooler(CMailSpooler* spooler) = 0;            // 10
};

class CFilterHandler {
public:
    virtual ~CFilterHandler() = default;                        // 1
    virtual void Notify(unsigned message, MailInfo* info) = 0;  // 2: told before a message is routed
    virtual void SetConnection(SQLHDBC connection) = 0;         // 3
};

using InitServerFunction = CServerModule* (*)();
using InitHandlerFunction = CFilterHandler* (*)();
