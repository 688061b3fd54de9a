// CClientEventSink: a window made for a server module that wants one of its
// own (message 0x40D). It relays to the file event sink and asks the server
// event sink, which owns it, to delete it when the module is done (0x405).
#pragma once

#include "app/SinkObjects.h"
#include "platform/MessageThread.h"

class CClientEventSink : public MessageWindow, public CSinkItem {
public:
    static constexpr const char* kTitle = "Velmora Client Event Notification Sink";

    CClientEventSink(MessageThread& thread, MessageWindow* owner, MessageWindow* target);

protected:
    LRESULT OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) override;

private:
    MessageWindow* ownerSink;
    MessageWindow* fileSink;
};
