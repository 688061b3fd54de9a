// RemoteAccountCheck: the fields of a remote server account as the
// remoteaccount command and the remote accounts page both accept them; each
// words a refusal in its own way.
#pragma once

#include <cstddef>
#include <string>

class RemoteAccountCheck {
public:
    static constexpr std::size_t kMaxName = 64;

    enum class Outcome { Ok, BadName, BadServer, BadPort, BadUser, BadPassword, BadAliasAddress };

    // Each field alone, trimmed by the caller where the front end trims.
    static Outcome CheckName(const std::string& name);
    static Outcome CheckServer(const std::string& server);
    // Decimal 1 to 65535; value set when Ok.
    static Outcome CheckPort(const std::string& text, long& value);
    static Outcome CheckUser(const std::string& user);
    static Outcome CheckPassword(const std::string& password);
    // The domain or address that the mailbox serves: no list separators.
    static Outcome CheckAliasAddress(const std::string& address);
};
