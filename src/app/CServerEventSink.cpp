// CServerEventSink: message handling of the modules' notification window.
#include "app/CServerEventSink.h"

#include "app/CServerModule.h"
#include "app/SinkMessages.h"
#include "app/SinkObjects.h"

CServerEventSink::CServerEventSink(MessageThread& thread) : MessageWindow(thread, kTitle), fileSink(thread) {
    fileSink.SetServerSink(this);
}

CServerEventSink::~CServerEventSink() {
    fileSink.SetFilterHandler(nullptr);
    filterHandler.reset();
    clientSinks.clear();
}

void CServerEventSink::LoadFilterHandler() {
    noticeWindow = nullptr;
    filterHandler.reset();
    // The plug-in is optional: a missing or incomplete one is ignored.
    if (filterLibrary.Load(kFilterLibrary)) {
        auto init = reinterpret_cast<InitHandlerFunction>(filterLibrary.Symbol("InitHandler"));
        if (init) filterHandler.reset(init());
        if (!filterHandler) filterLibrary.Close();
    }
    if (filterHandler) filterHandler->SetConnection(connectionHandle);
    fileSink.SetFilterHandler(filterHandler.get());
    outstandingItems = 0;
}

LRESULT CServerEventSink::OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case sink::kAttachRequest: {
            CSinkRequest* request = reinterpret_cast<CSinkRequest*>(lparam);
            if (!request) return 0;
            request->Attach(&fileSink);
            return 1;
        }
        case sink::kPing:
            return 1;
        case sink::kItemDone: {
            CSinkItem* item = reinterpret_cast<CSinkItem*>(wparam);
            bool owned = false;
            for (auto it = clientSinks.begin(); it != clientSinks.end(); ++it) {
                if (static_cast<CSinkItem*>(it->get()) == item) {
                    clientSinks.erase(it);
                    owned = true;
                    break;
                }
            }
            if (!owned) delete item;  // handed over with the message
            --outstandingItems;
            return 1;
        }
        case sink::kOpenClientSink: {
            MessageWindow* requester = reinterpret_cast<MessageWindow*>(lparam);
            auto client = std::make_unique<CClientEventSink>(GetThread(), this, &fileSink);
            CClientEventSink* made = client.get();
            clientSinks.push_back(std::move(client));
            fileSink.Send(sink::kSetText, 0, static_cast<LPARAM>(wparam));
            if (requester)
                requester->Send(sink::kClientSinkMade, 0, reinterpret_cast<LPARAM>(static_cast<MessageWindow*>(made)));
            return 1;
        }
        case sink::kNewMailNotice: {
            // The two buffers are the receiver's to free.
            if (MessageWindow* window = noticeWindow.load()) {
                window->Post(sink::kNewMailNotice, wparam, lparam);
            } else {
                delete reinterpret_cast<std::string*>(wparam);
                delete reinterpret_cast<std::string*>(lparam);
            }
            return 1;
        }
        case sink::kRegisterNotice:
            noticeWindow = reinterpret_cast<MessageWindow*>(wparam);
            return 1;
        default:
            return 0;
    }
}
