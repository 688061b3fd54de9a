// MappedAccountCheck: the fields of a mapped account.
#include "retrieval/MappedAccountCheck.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "foundation/CDomainRows.h"
#include "foundation/CMailDatabase.h"
#include "platform/IpLiteral.h"
#include "store/CMappedAccounts.h"

MappedAccountCheck::Outcome MappedAccountCheck::CheckServer(const std::string& server) {
    if (server.empty()) return Outcome::NoServer;
    if (server.size() > CMappedAccounts::kMaxServer) return Outcome::ServerTooLong;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!CDomainRows::IsValidDomainName(server) && !ParseIpLiteral(server, address, length))
        return Outcome::BadServer;
    return Outcome::Ok;
}

MappedAccountCheck::Outcome MappedAccountCheck::CheckUser(const std::string& remoteUser) {
    if (remoteUser.empty()) return Outcome::NoUser;
    if (remoteUser.size() > CMappedAccounts::kMaxRemoteUser) return Outcome::UserTooLong;
    if (!CMappedAccounts::IsValidValue(remoteUser, CMappedAccounts::kMaxRemoteUser)) return Outcome::BadUser;
    return Outcome::Ok;
}

MappedAccountCheck::Outcome MappedAccountCheck::CheckPassword(const std::string& password) {
    if (password.empty()) return Outcome::NoPassword;
    if (password.size() > CMappedAccounts::kMaxPassword) return Outcome::PasswordTooLong;
    if (!CMappedAccounts::IsValidValue(password, CMappedAccounts::kMaxPassword, true)) return Outcome::BadPassword;
    return Outcome::Ok;
}

MappedAccountCheck::Outcome MappedAccountCheck::CheckEntry(const std::string& server, const std::string& remoteUser,
                                                           const std::string& password) {
    const std::array<Outcome, 3> fields = {CheckUser(remoteUser), CheckServer(server), CheckPassword(password)};
    // The enumerators run missing, too long, malformed; within each, the
    // dialog's order of the fields.
    const Outcome first = *std::min_element(fields.begin(), fields.end(), [](Outcome a, Outcome b) {
        return a != Outcome::Ok && (b == Outcome::Ok || a < b);
    });
    return first;
}
