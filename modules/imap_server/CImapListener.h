// CImapListener: the IMAP service on its two ports (see CServiceListener):
// Ports\IMAP Port as "IMAP" and Ports\IMAPS Port as "IMAPS". Each session
// opens its own view of the account's mailbox through the shared mailbox
// layer and checks logins on the account database.
#pragma once

#include "CImapSession.h"
#include "CImapSettings.h"
#include "CServiceListener.h"

class CAccountDatabase;

struct ImapService {
    using Session = CImapSession;
    using Settings = CImapSettings;
    static constexpr const char* kName = "IMAP";
    static constexpr const char* kTlsName = "IMAPS";
    static constexpr const char* kAddressSetting = "Ports\\IMAP Listen Address";
    static constexpr const char* kBusyReply = "* BYE Too many sessions, try again later\r\n";
    static constexpr const char* kClientBusyReply = "* BYE Too many sessions from your address, try again later\r\n";
    // Sessions are threads, most of them idle in IDLE.
    static constexpr std::size_t kStackBytes = kSmallSessionStack;
};

class MODULE_LOCAL CImapListener : public CServiceListener<ImapService> {
public:
    explicit CImapListener(CAccountDatabase* database);
};
