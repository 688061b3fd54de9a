// CFileEventSink: routing, import and relays.
#include "app/CFileEventSink.h"

#include <cstring>

#include "app/CServerModule.h"
#include "app/SinkMessages.h"
#include "app/SinkObjects.h"
#include "spool/MailInfo.h"

CFileEventSink::CFileEventSink(MessageThread& thread) : MessageWindow(thread, kTitle) {}

LRESULT CFileEventSink::OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case sink::kRouteMail: {
            std::unique_ptr<MailInfo> info(reinterpret_cast<MailInfo*>(wparam));
            if (!info) return 0;
            if (filterHandler) filterHandler->Notify(sink::kRouteMail, info.get());
            if (route) route(std::move(info), reinterpret_cast<SQLHDBC>(lparam));
            return 1;
        }
        case sink::kImportNetware: {
            const char* path = reinterpret_cast<const char*>(lparam);
            if (!import || !path) return 0;
            return import(reinterpret_cast<SQLHDBC>(wparam), path) ? 1 : 0;
        }
        case sink::kSetText: {
            const char* given = reinterpret_cast<const char*>(lparam);
            std::memset(text, 0, sizeof text);
            if (given) std::strncpy(text, given, sizeof text - 1);
            return 1;
        }
        case sink::kRegisterNotice:
            if (serverEventSink) serverEventSink->Post(sink::kRegisterNotice, wparam, lparam);
            return 1;
        case sink::kFileTask: {
            CSinkTask* task = reinterpret_cast<CSinkTask*>(lparam);
            if (!task) return 0;
            task->Process();
            task->Complete();
            delete task;  // handed over with the message
            return 1;
        }
        default:
            return 0;
    }
}
