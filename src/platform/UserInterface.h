// UserInterface: where the engine's message boxes go.
//
// The engine has no window code. What would be a message box is handed to
// the installed UserInterface: the headless server logs it and writes it to
// standard error; the console shows a real box.
#pragma once

#include <string>

class UserInterface {
public:
    virtual ~UserInterface() = default;
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;

    // The process-wide instance; never null (a stderr writer until one is installed).
    static UserInterface& Current();
    // Installs ui (not owned; must outlive its use) or, with null, the default.
    static void Install(UserInterface* ui);
};
