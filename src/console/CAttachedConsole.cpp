// CAttachedConsole: the console of a server running in another process.
#include "console/CAttachedConsole.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <unistd.h>

#include "app/CControlClient.h"
#include "app/CommandSupport.h"
#include "console/CConsoleApplication.h"
#include "console/CConsoleMessageBox.h"
#include "console/CConsoleUserInterface.h"
#include "console/CMainWindow.h"
#include "console/CRemoteCycleControl.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "platform/Home.h"
#include "platform/UserInterface.h"

CAttachedConsole::CAttachedConsole(std::string home) : home(std::move(home)) {}

CAttachedConsole::~CAttachedConsole() {
    window.reset();
    control.reset();
    if (database) database->Disconnect();
}

bool CAttachedConsole::Open(std::ostream& err) {
    // The settings files the pages name relatively ("Schedule.txt") are the home's.
    if (::chdir(home.c_str()) != 0) {
        err << "velmora console: the home " << home << " cannot be entered\n";
        return false;
    }
    Home::Use(home);
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    database = std::make_unique<CMailDatabase>();
    if (!CommandSupport::Connect(*database, "console", err)) return false;
    context.home = home;
    context.database = database.get();
    control = std::make_unique<CRemoteCycleControl>(home);
    window = std::make_unique<CMainWindow>(context, control.get());
    window->SetAttached();
    return true;
}

int CAttachedConsole::Run(const std::string& home, const char* programName, std::ostream& err) {
    if (!CConsoleApplication::DisplayAvailable()) {
        err << "velmora console: there is no display to show the console on (set DISPLAY or WAYLAND_DISPLAY)\n";
        return 1;
    }
    std::string reply, why;
    if (CControlClient::Request(home, "status-json", reply, why) == CControlClient::Result::NoServer) {
        err << "velmora console: no server is running on the home " << home << "; start it with `velmora --home "
            << home << " run`\n";
        return 1;
    }
    int argc = 1;
    char* argv[] = {const_cast<char*>(programName), nullptr};
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    CAttachedConsole console(home);
    if (!console.Open(err)) return 1;
    CMainWindow& window = *console.Window();
    CConsoleUserInterface ui(&window);
    UserInterface::Install(&ui);
    QObject::connect(&window, &CMainWindow::quitRequested, [] { QApplication::quit(); });
    QObject::connect(&window, &CMainWindow::stopServerRequested, [&] {
        std::string answer;
        if (!console.Control()->Send("stop", answer)) {
            CConsoleMessageBox::Show(&window, QString::fromStdString("The server could not be stopped: " + answer));
            return;
        }
        err << "velmora console: the server on the home " << home << " is stopping; the console closes\n";
        QApplication::quit();
    });
    window.show();
    err << "velmora console: attached to the server on the home " << home
        << (QSystemTrayIcon::isSystemTrayAvailable()
                ? "; the tray's Quit closes the console, its \"Stop server\" stops the server\n"
                : "; closing the window closes the console, the server runs on\n");
    const int status = QApplication::exec();
    window.hide();
    UserInterface::Install(nullptr);
    return status;
}
