// CPop3Listener: the POP3 service on its two ports (see CServiceListener):
// Ports\POP3 Port as "POP3" and Ports\POP3S Port as "POP3S". A refused
// client is told -ERR [SYS/TEMP].
#pragma once

#include "CPop3Session.h"
#include "CPop3Settings.h"
#include "CServiceListener.h"

struct Pop3Service {
    using Session = CPop3Session;
    using Settings = CPop3Settings;
    static constexpr const char* kName = "POP3";
    static constexpr const char* kTlsName = "POP3S";
    static constexpr const char* kAddressSetting = "Ports\\POP3 Listen Address";
    static constexpr const char* kBusyReply = "-ERR [SYS/TEMP] Too many sessions, try again later\r\n";
    static constexpr const char* kClientBusyReply =
        "-ERR [SYS/TEMP] Too many sessions from your address, try again later\r\n";
    static constexpr std::size_t kStackBytes = 0;
};

class MODULE_LOCAL CPop3Listener : public CServiceListener<Pop3Service> {
public:
    explicit CPop3Listener(CAccountDatabase* database) { environment.database = database; }
};
