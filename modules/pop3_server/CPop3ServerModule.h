// CPop3ServerModule: the module object that "POP3_Server.so" hands the host
// (see CServiceModule).
#pragma once

#include "CPop3Listener.h"
#include "CServiceModule.h"

class MODULE_LOCAL CPop3ServerModule : public CServiceModule<CPop3Listener> {
public:
    CPop3ServerModule() : CServiceModule("POP3 server") {}
};

extern "C" MODULE_EXPORT CServerModule* InitServer();
