// A filter plug-in for the host's tests: it marks every message it is told
// about, so a test can see that it ran before routing.
#include "app/CServerModule.h"
#include "spool/MailInfo.h"

namespace {

class FakeFilter : public CFilterHandler {
public:
    void Notify(unsigned message, MailInfo* info) override {
        if (info && connection) info->DotsCount = static_cast<int>(message);
    }
    void SetConnection(SQLHDBC handle) override { connection = handle; }

private:
    SQLHDBC connection = nullptr;
};

}  // namespace

extern "C" CFilterHandler* InitHandler() {
    return new FakeFilter;
}
