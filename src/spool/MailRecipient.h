// MailRecipient: one recipient of a message in transit.
//
// The SMTP server module builds these when it accepts a message; the spool
// reader rebuilds them from a spool file. A recipient is local exactly when
// it carries an account. The member order is part of the server modules'
// interface and must not change.
#pragma once

#include <memory>
#include <string>

class CLocalAccount;

class MailRecipient {
public:
    MailRecipient();
    MailRecipient(std::string user, std::string domain);
    ~MailRecipient();
    MailRecipient(const MailRecipient&) = delete;
    MailRecipient& operator=(const MailRecipient&) = delete;

    // 1. Local part (for a resolved local recipient, the account's user name).
    std::string user;
    // 2. Domain part; may be empty.
    std::string domain;
    // 3. The local account, or none for a remote recipient. Owned here.
    std::unique_ptr<CLocalAccount> account;
};
