// CImapServerModule: the module object that "IMAP_Server.so" hands the host
// (see CServiceModule).
#pragma once

#include "CImapListener.h"
#include "CServiceModule.h"

class MODULE_LOCAL CImapServerModule : public CServiceModule<CImapListener> {
public:
    CImapServerModule() : CServiceModule("IMAP server") {}
};

extern "C" MODULE_EXPORT CServerModule* InitServer();
