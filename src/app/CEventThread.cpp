// CEventThread: making and destroying the sinks on their thread.
#include "app/CEventThread.h"

bool CEventThread::InitInstance() {
    serverSink = std::make_unique<CServerEventSink>(*this);
    serverSink->SetConnection(connectionHandle);
    if (route) serverSink->GetFileSink().SetRouteHandler(route);
    if (import) serverSink->GetFileSink().SetImportHandler(import);
    serverSink->LoadFilterHandler();
    return true;
}

int CEventThread::ExitInstance() {
    serverSink.reset();
    return 0;
}

bool CEventThread::IsIdle() const {
    // Asked from the shutting-down thread; the count changes only on the
    // event thread, and a stale answer just means one more poll.
    return IsRunning() && serverSink && serverSink->GetOutstandingItems() <= 0 && QueueEmpty();
}
