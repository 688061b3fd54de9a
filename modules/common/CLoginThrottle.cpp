// CLoginThrottle: failed-login delays and address locks.
#include "CLoginThrottle.h"

namespace {
// An IPv6 lock holds the client's whole /64.
std::string Describe(const CClientAddress& client) {
    return client.IsIPv4() ? client.Text() : client.Text() + " (its /64)";
}
}  // namespace

CLoginThrottle::CLoginThrottle(std::string service, CLoginLockTable* shared)
    : prefix(service.empty() ? std::string("Logins") : service + " logins"), table(shared ? shared : &own) {}

CLoginThrottle::~CLoginThrottle() {
    try {
        // A shared table outlives the listener: its locks go on holding.
        if (table == &own) own.EndAll("lifted as the listener stopped");
    } catch (...) {
    }
}

bool CLoginThrottle::IsLocked(const CClientAddress& client, const Policy& policy) {
    (void)policy;
    if (client.Classify() == CClientAddress::Network::Loopback) return false;
    return table->IsLocked(client.ClientKey());
}

std::chrono::milliseconds CLoginThrottle::Failed(const CClientAddress& client, const Policy& policy) {
    return table->Failed(client.ClientKey(), client.Classify() == CClientAddress::Network::Loopback, policy, prefix,
                         Describe(client));
}

void CLoginThrottle::Succeeded(const CClientAddress& client) {
    table->Succeeded(client.ClientKey());
}
