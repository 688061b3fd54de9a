// CMainWindow: the console's main window "Marlowin - <host name>": the
// command buttons, the status field that repeats the send and receive
// cycle's steps, the clock, the panel area where the login panel, the user
// editor and the server properties appear, and the tray icon. Closing the
// window hides it in the tray; the process ends through the tray's Quit
// (not while a cycle runs), which asks the program to stop (quitRequested).
//
// The console starts logged out: only LOGIN, ABOUT, HELP1 and CLOSE work
// until a login. An administrator gets every command; any other user only
// its own account in the user editor and the mailbox listing.
//
// Attached to a server of another process (`velmora console`), the tray
// menu also offers "Stop server" (stopServerRequested), and Quit closes the
// console alone, even while a cycle runs.
//
// The cycle tells the window about changes from the engine's threads; the
// window takes them on its own thread (queued) and reads the cycle's status
// there, so no control is touched from another thread.
#pragma once

#include <QWidget>
#include <atomic>
#include <map>
#include <string>

#include "console/ConsoleContext.h"

class CConnectDialog;
class CLoginPanel;
class CMailboxListing;
class CSearchMailDialog;
class CCycleControl;
class CSendReceiveStatus;
class CServerPropertySheet;
class CUserEditor;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;

class CMainWindow : public QWidget {
    Q_OBJECT
public:
    // The commands, named as the window's buttons are.
    enum class Command { Login, User, Mailbox, Server, Ports, SendReceive, FindMessage, About, Help, Close };

    // cycle may be null (no engine running: the console's tests).
    CMainWindow(ConsoleContext& context, CCycleControl* cycle, QWidget* parent = nullptr);
    ~CMainWindow() override;

    // Stops following the cycle (before the engine that owns it stops).
    void DetachCycle();
    QSystemTrayIcon* TrayIcon() const { return tray; }
    bool LoggedIn() const { return loggedIn; }
    // The console of a server in another process: the tray's "Stop server".
    void SetAttached();

    // The tray's left double-click and Show: the window comes back.
    void ShowFromTray();
    // The tray's Quit: quitRequested, unless a cycle runs.
    void Quit();

signals:
    void quitRequested();
    void stopServerRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QPushButton* AddCommand(Command command, const QString& caption, const char* name);
    void Run(Command command);
    void LoggedInAs(const QString& userName, bool administrator);
    void EnableCommands();
    void ShowPanel(QWidget* panel);
    void OpenServer(const QString& page);
    void Tick();
    // Any thread: asks for one CycleChanged on the window's thread.
    void CycleNotified();
    void CycleChanged();

    ConsoleContext& context;
    CCycleControl* cycle;
    bool attached = false;
    bool loggedIn = false;
    bool administrator = false;
    bool busy = false;
    bool statusShown = false;  // the cycle's worker shows the status window
    bool firstShow = true;
    std::string ownName;
    std::atomic<bool> refreshQueued{false};

    std::map<Command, QPushButton*> commands;
    QLineEdit* statusField;
    QLabel* clock;
    QStackedWidget* panelArea;
    QWidget* emptyPanel;
    CLoginPanel* loginPanel;
    CUserEditor* userEditor;
    CServerPropertySheet* serverSheet;
    CMailboxListing* mailboxListing;
    CSearchMailDialog* searchDialog = nullptr;
    CSendReceiveStatus* statusWindow = nullptr;
    CConnectDialog* connectDialog;
    QSystemTrayIcon* tray;
    QMenu* trayMenu;
    QTimer* clockTimer;
};
