// CListenerSessions: how many sessions each listener of the server modules
// serves now, by the listener's name ("SMTP", "Submission", "POP3S"), for
// the status a monitor reads.
//
// The module objects' operation tables are fixed, so the listeners count
// here, through the engine the program exports, as they report what they
// bound to g_listenerReport.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/MutexLock.h"

class CListenerSessions {
public:
    void Opened(const std::string& listener);
    void Closed(const std::string& listener);
    // Sessions now per listener that ever had one.
    std::map<std::string, std::uint64_t> Counts() const;

private:
    mutable Mutex lock;  // the counts
    std::map<std::string, std::uint64_t> sessions GUARDED_BY(lock);
};

extern CListenerSessions g_listenerSessions;
