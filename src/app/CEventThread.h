// CEventThread: the worker thread on which the event sinks live.
//
// Its start-up makes the server event sink (with the file event sink inside
// it) and loads the filter plug-in; its end destroys them, so every message
// to the sinks is handled on this one thread, one at a time.
#pragma once

#include <memory>
#include <sql.h>

#include "app/CServerEventSink.h"
#include "platform/MessageThread.h"

class CEventThread : public MessageThread {
public:
    CEventThread() = default;

    // Set before the owner starts the thread: the connection the filter plug-in is given.
    void SetConnection(SQLHDBC connection) { connectionHandle = connection; }
    // Valid from a successful start until the thread ends.
    CServerEventSink* GetServerSink() const { return serverSink.get(); }
    // Set before the start; installed on the file sink as it is made.
    void SetRouteHandler(CFileEventSink::RouteHandler handler) { route = std::move(handler); }
    // Set before the start: what the file sink does with a Netware file (0x40C).
    void SetImportHandler(CFileEventSink::ImportHandler handler) { import = std::move(handler); }
    // True when the sink has no outstanding item and no message waits.
    bool IsIdle() const;

protected:
    bool InitInstance() override;
    int ExitInstance() override;

private:
    std::unique_ptr<CServerEventSink> serverSink;
    SQLHDBC connectionHandle = nullptr;
    CFileEventSink::RouteHandler route;
    CFileEventSink::ImportHandler import;
};
