// CListenerReport: what the server modules' listeners really did at start.
//
// A module that listens tells the host here, before the call that starts it
// returns (SetDatabase or SetMailSpooler), each address and port it bound, or
// why it could not bind. The module objects' operation tables are fixed, so
// this goes through the engine the program exports, like the log. The host
// clears it before loading the modules and reads it once they are loaded: it
// prints what listens, or refuses to run when a listener failed.
#pragma once

#include <string>
#include <vector>

#include "platform/MutexLock.h"

class CListenerReport {
public:
    struct Entry {
        std::string module;  // "SMTP"
        bool listening = false;
        bool warning = false;  // a listener serves, but not everything it should (TLS off)
        std::string text;      // "0.0.0.0:2525", or the failure ("cannot listen on ...: why")
    };

    void Listening(const std::string& module, const std::string& endpoint);
    void Failed(const std::string& module, const std::string& reason);
    // Something an administrator must fix that does not stop the service.
    void Warning(const std::string& module, const std::string& text);
    void Clear();
    std::vector<Entry> Entries() const;

    // "host:port", with an IPv6 host in brackets.
    static std::string Endpoint(const std::string& host, unsigned port);

private:
    mutable Mutex lock;  // the entries
    std::vector<Entry> entries GUARDED_BY(lock);
};

extern CListenerReport g_listenerReport;
