// ForwardingTargetCheck: the parts of a forwarding address.
#include "delivery/ForwardingTargetCheck.h"

#include "delivery/CForwarding.h"

ForwardingTargetCheck::Outcome ForwardingTargetCheck::Check(const std::string& user, const std::string& server) {
    if (user.empty()) return Outcome::NoUser;
    if (server.empty()) return Outcome::NoServer;
    if (user.size() > CForwarding::kMaxUserId) return Outcome::UserTooLong;
    if (server.size() > CForwarding::kMaxServerAddr) return Outcome::ServerTooLong;
    if (!CForwarding::IsPlainTarget(user, server)) return Outcome::NotPlain;
    return Outcome::Ok;
}
