// CAttachedConsole: `velmora console`: the administration console of a
// server that already runs on the home (headless, as a service), shown on
// this display in a process of its own. Its pages work on the same
// database and settings as the server, on a database connection of the
// console's own (made without clearing the server's session locks);
// Send/Receive, the status window and the tray's "Stop server" reach the
// server through its control socket. Quit closes the console alone.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "console/ConsoleContext.h"

class CMailDatabase;
class CMainWindow;
class CRemoteCycleControl;

class CAttachedConsole {
public:
    explicit CAttachedConsole(std::string home);
    ~CAttachedConsole();
    CAttachedConsole(const CAttachedConsole&) = delete;
    CAttachedConsole& operator=(const CAttachedConsole&) = delete;

    // Reaches the home's settings and database and makes the main window
    // (a QApplication must exist); false after one sentence on err.
    bool Open(std::ostream& err);
    CMainWindow* Window() const { return window.get(); }
    CRemoteCycleControl* Control() const { return control.get(); }

    // The command: its exit status (1: no display, no server, no database).
    static int Run(const std::string& home, const char* programName, std::ostream& err);

private:
    std::string home;
    std::unique_ptr<CMailDatabase> database;
    ConsoleContext context;
    std::unique_ptr<CRemoteCycleControl> control;
    std::unique_ptr<CMainWindow> window;
};
