// MappedAccountCheck: a mapped (POP3) account's server, remote user and
// password as the popaccount command and the mappings page both accept them;
// each words a refusal in its own way.
#pragma once

#include <string>

class MappedAccountCheck {
public:
    enum class Outcome {
        Ok,
        NoUser,
        NoServer,
        NoPassword,
        UserTooLong,
        ServerTooLong,
        PasswordTooLong,
        BadServer,  // neither a host name nor an IP address
        BadUser,    // not printable ASCII without blanks
        BadPassword,
    };

    // Each field alone: its No..., ...TooLong or Bad... outcome.
    static Outcome CheckServer(const std::string& server);
    static Outcome CheckUser(const std::string& remoteUser);
    static Outcome CheckPassword(const std::string& password);
    // All three in the entry dialog's order: every missing field first (the
    // user, the server, the password), then every field too long, then the
    // first malformed one.
    static Outcome CheckEntry(const std::string& server, const std::string& remoteUser, const std::string& password);
};
