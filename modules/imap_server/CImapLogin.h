// CImapLogin: checks an IMAP login against the account database, with the
// POP3 module's rules: the account exists, is alive and not a group, the
// password matches, and the account holds the read right. The answer says
// which account and how large an APPEND it may make; the password is never
// kept or logged.
#pragma once

#include <cstdint>
#include <string>

#include "ModuleVisibility.h"

class CAccountDatabase;

struct MODULE_LOCAL CImapLoginResult {
    enum class Outcome { Ok, Refused, NoReadRight, Unavailable };
    Outcome outcome = Outcome::Refused;
    long accountId = 0;
    // The account's receive limit in bytes; 0: none of its own.
    std::uint64_t receiveLimit = 0;
};

class MODULE_LOCAL CImapLogin {
public:
    static CImapLoginResult Check(CAccountDatabase* database, const std::string& user, const std::string& password);
};
