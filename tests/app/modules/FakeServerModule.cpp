// A server module for the host's tests: it remembers which of the host's
// calls it received and answers them through its third slot.
#include "app/CServerModule.h"

namespace {

class FakeServer : public CServerModule {
public:
    int IsIdle() override { return 1; }
    // Bits: 1 notify window, 2 database, 4 mail spooler, 8 stopped.
    int Reserved3() override { return calls; }
    void Stop() override { calls |= 8; }
    void SetNotifyWindow(MessageWindow* window) override { calls |= window ? 1 : 0; }
    void SetDatabase(CAccountDatabase* database) override { calls |= database ? 2 : 0; }
    void SetMailSpooler(CMailSpooler* spooler) override { calls |= spooler ? 4 : 0; }

private:
    int calls = 0;
};

}  // namespace

#ifndef FAKE_WITHOUT_ENTRY
extern "C" CServerModule* InitServer() {
    return new FakeServer;
}
#else
extern "C" int NotTheEntryPoint() {
    return 0;
}
#endif
