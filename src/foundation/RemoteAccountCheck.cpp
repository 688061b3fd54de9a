// RemoteAccountCheck: a remote server account's fields.
#include "foundation/RemoteAccountCheck.h"

#include <cstdlib>

#include "foundation/CRemoteServerAccounts.h"

using Accounts = CRemoteServerAccounts;

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckName(const std::string& name) {
    return Accounts::IsPlainValue(name, kMaxName) ? Outcome::Ok : Outcome::BadName;
}

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckServer(const std::string& server) {
    return Accounts::IsPlainValue(server, Accounts::kMaxServer) ? Outcome::Ok : Outcome::BadServer;
}

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckPort(const std::string& text, long& value) {
    if (text.empty()) return Outcome::BadPort;
    char* end = nullptr;
    const long port = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) return Outcome::BadPort;
    value = port;
    return Outcome::Ok;
}

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckUser(const std::string& user) {
    return Accounts::IsPlainValue(user, Accounts::kMaxUserName) ? Outcome::Ok : Outcome::BadUser;
}

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckPassword(const std::string& password) {
    if (password.size() > Accounts::kMaxUserName ||
        password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return Outcome::BadPassword;
    return Outcome::Ok;
}

RemoteAccountCheck::Outcome RemoteAccountCheck::CheckAliasAddress(const std::string& address) {
    if (!Accounts::IsPlainValue(address, Accounts::kMaxAliasAddress) ||
        address.find_first_of(",;") != std::string::npos)
        return Outcome::BadAliasAddress;
    return Outcome::Ok;
}
