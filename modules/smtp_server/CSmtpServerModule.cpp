// CSmtpServerModule: the SMTP server module's entry point (see the header).
#include "CSmtpServerModule.h"

extern "C" CServerModule* InitServer() {
    try {
        return new CSmtpServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
