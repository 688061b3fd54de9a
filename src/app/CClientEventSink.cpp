// CClientEventSink: relays.
#include "app/CClientEventSink.h"

#include "app/SinkMessages.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/UserInterface.h"

CClientEventSink::CClientEventSink(MessageThread& thread, MessageWindow* owner, MessageWindow* target)
    : MessageWindow(thread, kTitle), ownerSink(owner), fileSink(target) {}

LRESULT CClientEventSink::OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case sink::kPing:
        case sink::kClientPing:
            return 1;
        case sink::kRouteMail:
            fileSink->Post(sink::kRouteMail, wparam, lparam);
            return 1;
        case sink::kItemDone:
            // The owner deletes this window; nothing may touch it afterwards.
            ownerSink->Send(sink::kItemDone, reinterpret_cast<WPARAM>(static_cast<CSinkItem*>(this)), 0);
            return 1;
        case sink::kFileTask:
            fileSink->Send(sink::kFileTask, wparam, lparam);
            return 0;
        case sink::kImportNetware: {
            const char* text = reinterpret_cast<const char*>(lparam);
            UserInterface::Current().MessageBox(text ? text : "", settings::kMessageBoxTitle);
            fileSink->Send(sink::kImportNetware, wparam, lparam);
            return 1;
        }
        default:
            return 0;
    }
}
