// CConsoleUserInterface: the engine's message boxes as the console's boxes.
// The engine may ask from any of its threads; the box is always shown on the
// console's own thread, and the asking thread does not wait for it.
#pragma once

#include <string>

#include "platform/UserInterface.h"

class QObject;

class CConsoleUserInterface : public UserInterface {
public:
    // Boxes are shown on the thread that owns `owner` (the main window).
    explicit CConsoleUserInterface(QObject* owner);
    void MessageBox(const std::string& text, const std::string& caption) override;

private:
    QObject* owner;
};
