// CImapServerModule: the library's entry point.
#include "CImapServerModule.h"

extern "C" CServerModule* InitServer() {
    try {
        return new CImapServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
