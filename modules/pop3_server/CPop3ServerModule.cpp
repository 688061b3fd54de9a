// CPop3ServerModule: the library's entry point.
#include "CPop3ServerModule.h"

extern "C" CServerModule* InitServer() {
    try {
        return new CPop3ServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
