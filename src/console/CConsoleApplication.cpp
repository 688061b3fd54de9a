// CConsoleApplication: the server and its console in one process.
#include "console/CConsoleApplication.h"

#include <QApplication>
#include <QMetaObject>
#include <QSystemTrayIcon>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

#include "app/CServerApplication.h"
#include "console/CConsoleUserInterface.h"
#include "console/CLocalCycleControl.h"
#include "console/CMainWindow.h"
#include "console/ConsoleContext.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "platform/UserInterface.h"

namespace {

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

bool CConsoleApplication::DisplayAvailable() {
    return Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM");
}

int CConsoleApplication::Run(const std::string& home, const char* programName, std::ostream& err) {
    // Before Qt starts its threads, so that only the waiter sees the signals.
    CServerApplication::BlockStopSignals();
    int argc = 1;
    char* argv[] = {const_cast<char*>(programName), nullptr};
    QApplication application(argc, argv);
    // The window closes to the tray; only a stop ends the loop.
    QApplication::setQuitOnLastWindowClosed(false);

    CServerApplication server;
    if (!server.Start(home, err)) return 1;
    err << "velmora: serving " << home << " as process " << ::getpid()
        << " with the console (its tray's Quit, SIGTERM or Ctrl-C stops it)\n";

    // The console's own connection to the account database.
    CMailDatabase database;
    if (!database.Connect()) err << "velmora run: warning: the console cannot reach the account database\n";
    ConsoleContext context;
    context.home = home;
    context.database = &database;
    context.server = &server;

    int status = 0;
    {
        std::unique_ptr<CLocalCycleControl> cycle;
        if (server.GetCycle()) cycle = std::make_unique<CLocalCycleControl>(*server.GetCycle());
        CMainWindow window(context, cycle.get());
        CConsoleUserInterface ui(&window);
        UserInterface::Install(&ui);
        QObject::connect(&window, &CMainWindow::quitRequested, [] {
            g_moduleLog.Write("Quit from the console");
            ::kill(::getpid(), SIGTERM);
        });
        window.show();
        const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
        err << (tray ? "velmora: console shown; tray icon \"Marlowin\" added to the system tray\n"
                     : "velmora: console shown; this display has no system tray, so closing the window leaves "
                       "only `velmora stop` to end the server\n");

        std::atomic<bool> stopSeen{false};
        std::thread waiter([&] {
            server.WaitForStop();
            stopSeen = true;
            // exit, not quit: quit first closes the windows, and the main
            // window refuses to close (it hides in the tray).
            QMetaObject::invokeMethod(&application, [] { QApplication::exit(0); }, Qt::QueuedConnection);
        });
        status = application.exec();
        // The loop can also end on its own (the display went away): release the waiter.
        if (!stopSeen) ::kill(::getpid(), SIGTERM);
        waiter.join();

        window.DetachCycle();
        window.hide();
        // The engine's last boxes go to the standard error again.
        UserInterface::Install(nullptr);
        server.Stop();
    }
    database.Disconnect();
    return status;
}
