// UserInterface: the default writes message boxes to standard error.
#include "platform/UserInterface.h"

#include <atomic>
#include <cstdio>

namespace {
class StderrInterface : public UserInterface {
public:
    void MessageBox(const std::string& text, const std::string& caption) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};
StderrInterface g_default;
std::atomic<UserInterface*> g_current{&g_default};
}  // namespace

UserInterface& UserInterface::Current() {
    return *g_current.load();
}

void UserInterface::Install(UserInterface* ui) {
    g_current.store(ui ? ui : &g_default);
}
