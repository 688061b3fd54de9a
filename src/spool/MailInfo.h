// MailInfo: one message in transit between the SMTP server module, the
// spooler, the spool processor and routing.
//
// Whoever holds a MailInfo owns everything in it: recipients, their accounts
// and the content go with it. The member order is part of the server
// modules' interface and must not change; new members go at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/CMailContent.h"
#include "spool/MailRecipient.h"

class MailInfo {
public:
    MailInfo();
    ~MailInfo();
    MailInfo(const MailInfo&) = delete;
    MailInfo& operator=(const MailInfo&) = delete;

    // 1. The envelope sender as the SMTP server received it.
    std::string sender;
    // 2. Recipients in the order the server accepted them; an entry may be none.
    std::vector<std::unique_ptr<MailRecipient>> recipients;
    // 3. The whole message text (header, empty line, body), or none.
    std::unique_ptr<CMailContent> content;
    // 4. Carried unchanged from the SMTP server to each stored local copy.
    std::int32_t DotsCount = 0;
    // 5. Whether the client that handed the message in may relay. Mail the
    // server generates because of this message (receipts, notices) may go
    // to remote addresses only when it is set. Whoever does not know says
    // no: mail fetched or re-injected by the engine never has it.
    bool mayRelay = false;
    // 6. The spam filter's verdict: local recipients get it in their Junk
    // folder rather than the Inbox.
    bool junk = false;
};
