// CapturingInterface: the engine's message boxes kept as "caption: text"
// instead of shown, for as long as the object lives.
#pragma once

#include <string>
#include <vector>

#include "platform/UserInterface.h"

class CapturingInterface : public UserInterface {
public:
    CapturingInterface() { UserInterface::Install(this); }
    ~CapturingInterface() override { UserInterface::Install(nullptr); }
    void MessageBox(const std::string& text, const std::string& caption) override {
        shown.push_back(caption + ": " + text);
    }
    std::vector<std::string> shown;
};
