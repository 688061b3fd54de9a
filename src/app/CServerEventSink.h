// CServerEventSink: the window the server modules are told about
// (SetNotifyWindow). It owns the file event sink, the client sinks made on
// request, the optional filter plug-in, and the registration of the window
// that wants new-mail notices.
#pragma once

#include <atomic>
#include <memory>
#include <sql.h>
#include <string>
#include <vector>

#include "app/CClientEventSink.h"
#include "app/CFileEventSink.h"
#include "platform/SharedLibrary.h"

class CFilterHandler;

class CServerEventSink : public MessageWindow {
public:
    static constexpr const char* kTitle = "Velmora Server Event Notification Sink";
    static constexpr const char* kFilterLibrary = "AdministrativeFilterHandler.so";

    explicit CServerEventSink(MessageThread& thread);
    // Deletes the filter handler before its library is freed.
    ~CServerEventSink() override;

    void SetConnection(SQLHDBC connection) { connectionHandle = connection; }
    // Loads the filter plug-in when present and hands it to the file sink.
    void LoadFilterHandler();

    CFileEventSink& GetFileSink() { return fileSink; }
    CFilterHandler* GetFilterHandler() const { return filterHandler.get(); }
    int GetOutstandingItems() const { return outstandingItems.load(); }
    // Read from any thread: routing reads no message head for nobody.
    MessageWindow* GetNoticeWindow() const { return noticeWindow.load(); }

protected:
    LRESULT OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) override;

private:
    CFileEventSink fileSink;
    std::atomic<MessageWindow*> noticeWindow{nullptr};
    std::atomic<int> outstandingItems{0};
    std::vector<std::unique_ptr<CClientEventSink>> clientSinks;
    SharedLibrary filterLibrary;  // declared before the handler: freed after it
    std::unique_ptr<CFilterHandler> filterHandler;
    SQLHDBC connectionHandle = nullptr;
};
