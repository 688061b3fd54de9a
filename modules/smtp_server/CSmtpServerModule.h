// CSmtpServerModule: the module object that "SMTP_Server.so" hands the host
// (see CServiceModule: it starts listening once it has the mail spooler).
#pragma once

#include "CServiceModule.h"
#include "CSmtpListener.h"

class MODULE_LOCAL CSmtpServerModule : public CServiceModule<CSmtpListener> {
public:
    CSmtpServerModule() : CServiceModule("SMTP server") {}
};

extern "C" MODULE_EXPORT CServerModule* InitServer();
