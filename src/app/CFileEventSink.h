// CFileEventSink: the window to which the server modules hand messages for
// routing (0x403) and Netware files for import (0x40C).
//
// It lives on the event thread, so messages are routed one at a time. What
// routing does is given by the host as a handler; without one, a handed-in
// message is dropped (and freed) rather than leaked.
#pragma once

#include <functional>
#include <memory>
#include <sql.h>
#include <string>

#include "platform/MessageThread.h"

class CFilterHandler;
class MailInfo;

class CFileEventSink : public MessageWindow {
public:
    // Takes over the MailInfo and routes it on the connection.
    using RouteHandler = std::function<void(std::unique_ptr<MailInfo>, SQLHDBC)>;
    // Imports one ".cnm" file; true when it was imported.
    using ImportHandler = std::function<bool(SQLHDBC, const std::string&)>;

    static constexpr const char* kTitle = "Velmora File Event Notification Sink";

    explicit CFileEventSink(MessageThread& thread);

    void SetServerSink(MessageWindow* serverSink) { serverEventSink = serverSink; }
    void SetFilterHandler(CFilterHandler* handler) { filterHandler = handler; }
    void SetRouteHandler(RouteHandler handler) { route = std::move(handler); }
    void SetImportHandler(ImportHandler handler) { import = std::move(handler); }
    // The last text given with 0x40E.
    std::string GetText() const { return std::string(text); }

protected:
    LRESULT OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) override;

private:
    MessageWindow* serverEventSink = nullptr;
    CFilterHandler* filterHandler = nullptr;
    char text[260] = {};
    RouteHandler route;
    ImportHandler import;
};
