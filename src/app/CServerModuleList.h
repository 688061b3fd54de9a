// CServerModuleList: the server modules named under Servers\#1, #2, ...
//
// Each active entry's library is loaded from its "DLLLocation", its
// "InitServer" object is given the server event sink and the database, and
// the module whose location names the SMTP server's file gets the mail
// spooler. Every registry result is checked; an error stops loading (and
// unloads what an error inside an entry would leave half-done).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/SharedLibrary.h"

class CAccountDatabase;
class CMailSpooler;
class CServerModule;
class MessageWindow;

class CServerModuleList {
public:
    static constexpr const char* kSmtpServerFile = "SMTP_Server.so";
    static constexpr const char* kVoiceServerFile = "VoiceServer.so";

    struct Entry {
        std::unique_ptr<CServerModule> module;
        std::string name;
    };

    CServerModuleList() = default;
    ~CServerModuleList();
    CServerModuleList(const CServerModuleList&) = delete;
    CServerModuleList& operator=(const CServerModuleList&) = delete;

    // 1 when the servers key was read to the end, else 0.
    int LoadServers(MessageWindow* serverSink, CAccountDatabase* database, CMailSpooler* spooler);
    // Deletes every module object, then frees every library, in load order.
    void UnloadServers();

    const std::vector<Entry>& GetModules() const { return modules; }
    CServerModule* GetVoiceServer() const { return voiceServer; }
    MessageWindow* GetServerSink() const { return serverSink; }

private:
    std::vector<Entry> modules;
    std::vector<SharedLibrary> libraries;
    MessageWindow* serverSink = nullptr;
    CServerModule* voiceServer = nullptr;
};
