// CListenerSessions: the listeners' session counts.
#include "foundation/CListenerSessions.h"

CListenerSessions g_listenerSessions;

void CListenerSessions::Opened(const std::string& listener) {
    MutexLock guard(lock);
    ++sessions[listener];
}

void CListenerSessions::Closed(const std::string& listener) {
    MutexLock guard(lock);
    auto it = sessions.find(listener);
    if (it != sessions.end() && it->second > 0) --it->second;
}

std::map<std::string, std::uint64_t> CListenerSessions::Counts() const {
    MutexLock guard(lock);
    return sessions;
}
