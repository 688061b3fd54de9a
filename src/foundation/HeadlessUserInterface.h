// HeadlessUserInterface: message boxes of the server without a console.
// What a box would show goes to the diagnostic log and to standard error, so
// an administrator finds it in either place.
#pragma once

#include "platform/UserInterface.h"

class HeadlessUserInterface : public UserInterface {
public:
    void MessageBox(const std::string& text, const std::string& caption) override;
};
