// CListenerReport: the modules' listener reports.
#include "foundation/CListenerReport.h"

CListenerReport g_listenerReport;

void CListenerReport::Listening(const std::string& module, const std::string& endpoint) {
    MutexLock guard(lock);
    entries.push_back({module, true, false, endpoint});
}

void CListenerReport::Failed(const std::string& module, const std::string& reason) {
    MutexLock guard(lock);
    entries.push_back({module, false, false, reason});
}

void CListenerReport::Warning(const std::string& module, const std::string& text) {
    MutexLock guard(lock);
    entries.push_back({module, true, true, text});
}

void CListenerReport::Clear() {
    MutexLock guard(lock);
    entries.clear();
}

std::vector<CListenerReport::Entry> CListenerReport::Entries() const {
    MutexLock guard(lock);
    return entries;
}

std::string CListenerReport::Endpoint(const std::string& host, unsigned port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
