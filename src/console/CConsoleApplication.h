// CConsoleApplication: `velmora run` with a display: the server started as
// the headless one starts it, then the main window and the tray icon on the
// Qt event loop, which takes the place of waiting for a stop signal.
//
// Every way to end goes through the stop signals: a thread waits for
// SIGTERM or SIGINT (sent by the shell, `velmora stop`, or the tray's Quit,
// which sends SIGTERM to the process itself) and queues the end of the
// event loop; the server then stops in its usual order.
#pragma once

#include <ostream>
#include <string>

class CConsoleApplication {
public:
    // A display to show windows on: DISPLAY or WAYLAND_DISPLAY, or a Qt
    // platform chosen with QT_QPA_PLATFORM.
    static bool DisplayAvailable();
    // Runs the server with its console until it is told to stop; the exit status.
    static int Run(const std::string& home, const char* programName, std::ostream& err);
};
