// MailRecipient: out-of-line so that the account's full type is needed only here.
#include "spool/MailRecipient.h"

#include "delivery/CLocalAccount.h"

#include <utility>

MailRecipient::MailRecipient() = default;

MailRecipient::MailRecipient(std::string user, std::string domain) : user(std::move(user)), domain(std::move(domain)) {}

MailRecipient::~MailRecipient() = default;
