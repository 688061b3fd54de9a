// CMainWindow: the commands, the login gate, the clock, the tray icon and
// the cycle's status on the console's thread.
#include "console/CMainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStackedWidget>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

#include "console/CConnectDialog.h"
#include "console/CConsoleMessageBox.h"
#include "console/CLoginPanel.h"
#include "console/CMailboxListing.h"
#include "console/CSearchMailDialog.h"
#include "console/CSendReceiveStatus.h"
#include "console/CServerPropertySheet.h"
#include "console/CUserEditor.h"
#include "console/CCycleControl.h"

namespace {

// The application's icon, drawn rather than shipped: an envelope.
QIcon ApplicationIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(20, 50, 110), 2));
    painter.setBrush(QColor(250, 230, 150));
    painter.drawRect(3, 7, 26, 18);
    painter.drawLine(3, 7, 16, 18);
    painter.drawLine(29, 7, 16, 18);
    return QIcon(pixmap);
}

}  // namespace

CMainWindow::CMainWindow(ConsoleContext& context, CCycleControl* cycle, QWidget* parent)
    : QWidget(parent), context(context), cycle(cycle) {
    setObjectName("mainWindow");
    setWindowTitle(QStringLiteral("Marlowin - ") + QSysInfo::machineHostName());
    setWindowIcon(ApplicationIcon());

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(AddCommand(Command::Login, tr("&Login"), "commandLogin"));
    buttons->addWidget(AddCommand(Command::User, tr("&User"), "commandUser"));
    buttons->addWidget(AddCommand(Command::Mailbox, tr("&Mailbox"), "commandMailbox"));
    buttons->addWidget(AddCommand(Command::Server, tr("&Server"), "commandServer"));
    buttons->addWidget(AddCommand(Command::Ports, tr("&Ports"), "commandPorts"));
    buttons->addWidget(AddCommand(Command::SendReceive, tr("Send/&Receive"), "commandSendReceive"));
    buttons->addWidget(AddCommand(Command::FindMessage, tr("&Find Message"), "commandFindMessage"));
    buttons->addWidget(AddCommand(Command::About, tr("&About"), "commandAbout"));
    buttons->addWidget(AddCommand(Command::Help, tr("&Help"), "commandHelp"));
    buttons->addStretch();
    buttons->addWidget(AddCommand(Command::Close, tr("&Close"), "commandClose"));

    statusField = new QLineEdit(this);
    statusField->setObjectName("statusField");
    statusField->setReadOnly(true);
    clock = new QLabel(this);
    clock->setObjectName("clock");
    auto* top = new QHBoxLayout;
    top->addWidget(statusField, 1);
    top->addWidget(clock);

    panelArea = new QStackedWidget(this);
    panelArea->setObjectName("panelArea");
    emptyPanel = new QWidget(panelArea);
    loginPanel = new CLoginPanel(context, panelArea);
    userEditor = new CUserEditor(context, panelArea);
    serverSheet = new CServerPropertySheet(context, panelArea);
    mailboxListing = new CMailboxListing(context, panelArea);
    for (QWidget* panel : {emptyPanel, static_cast<QWidget*>(loginPanel), static_cast<QWidget*>(userEditor),
                           static_cast<QWidget*>(serverSheet), static_cast<QWidget*>(mailboxListing)})
        panelArea->addWidget(panel);

    auto* right = new QVBoxLayout;
    right->addLayout(top);
    right->addWidget(panelArea, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(buttons);
    layout->addLayout(right, 1);
    resize(760, 520);

    connect(loginPanel, &CLoginPanel::loggedIn, this, &CMainWindow::LoggedInAs);

    connectDialog = new CConnectDialog(this);
    if (cycle) {
        statusWindow = new CSendReceiveStatus(*cycle, this);
        connect(connectDialog, &CConnectDialog::cancelPressed, this, [this] {
            if (this->cycle) this->cycle->CancelDial();
        });
        CCycleControl::Observer observer;
        observer.changed = [this] { CycleNotified(); };
        observer.dialStatus = [this](const std::string& text) {
            const QString line = QString::fromStdString(text);
            QMetaObject::invokeMethod(this, [this, line] { connectDialog->ShowStatus(line); }, Qt::QueuedConnection);
        };
        observer.dialEnded = [this] {
            QMetaObject::invokeMethod(this, [this] { connectDialog->hide(); }, Qt::QueuedConnection);
        };
        cycle->SetObserver(std::move(observer));
    }

    tray = new QSystemTrayIcon(ApplicationIcon(), this);
    tray->setObjectName("trayIcon");
    tray->setToolTip(QStringLiteral("Marlowin"));
    auto* menu = trayMenu = new QMenu(this);
    menu->setObjectName("trayMenu");
    QAction* show = menu->addAction(tr("&Show"));
    show->setObjectName("trayShow");
    QAction* quit = menu->addAction(tr("&Quit"));
    quit->setObjectName("trayQuit");
    connect(show, &QAction::triggered, this, &CMainWindow::ShowFromTray);
    connect(quit, &QAction::triggered, this, &CMainWindow::Quit);
    tray->setContextMenu(menu);
    connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) ShowFromTray();
    });
    tray->show();

    clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &CMainWindow::Tick);
    clockTimer->start(500);
    Tick();
    EnableCommands();
    CycleChanged();
}

CMainWindow::~CMainWindow() {
    DetachCycle();
}

void CMainWindow::DetachCycle() {
    // After this no engine thread reaches the window.
    if (cycle) cycle->SetObserver({});
    cycle = nullptr;
}

QPushButton* CMainWindow::AddCommand(Command command, const QString& caption, const char* name) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(name);
    button->setMinimumWidth(120);
    connect(button, &QPushButton::clicked, this, [this, command] { Run(command); });
    commands[command] = button;
    return button;
}

void CMainWindow::EnableCommands() {
    const bool user = loggedIn;
    const bool admin = loggedIn && administrator;
    // While a cycle runs nothing that changes settings or starts one is offered.
    commands[Command::Login]->setEnabled(!busy);
    commands[Command::User]->setEnabled(user && !busy);
    commands[Command::Mailbox]->setEnabled(user);
    commands[Command::Server]->setEnabled(admin && !busy);
    commands[Command::Ports]->setEnabled(admin && !busy);
    commands[Command::SendReceive]->setEnabled(admin && !busy);
    commands[Command::FindMessage]->setEnabled(admin);
}

void CMainWindow::ShowPanel(QWidget* panel) {
    panelArea->setCurrentWidget(panel);
}

void CMainWindow::Run(Command command) {
    switch (command) {
        case Command::Login:
            loginPanel->Prepare();
            ShowPanel(loginPanel);
            break;
        case Command::User:
            if (administrator)
                userEditor->SetAdministratorView();
            else
                userEditor->SetOwnView(ownName);
            ShowPanel(userEditor);
            break;
        case Command::Mailbox:
            mailboxListing->ShowAccount(ownName, !administrator);
            ShowPanel(mailboxListing);
            break;
        case Command::Server:
            OpenServer(QString());
            break;
        case Command::Ports:
            OpenServer(QStringLiteral("Ports"));
            break;
        case Command::SendReceive:
            if (cycle) cycle->StartCycle();
            break;
        case Command::FindMessage:
            // One dialog, kept with its form between openings; it searches on its own thread.
            if (!searchDialog) searchDialog = new CSearchMailDialog(context, this);
            searchDialog->show();
            searchDialog->raise();
            break;
        case Command::About:
            CConsoleMessageBox::Show(this, tr("Marlowin\nThe Velmora mail server's console."), tr("About Marlowin"));
            break;
        case Command::Help:
            CConsoleMessageBox::Show(this,
                                     tr("The console is described in docs/console.md; `velmora help` lists the "
                                        "shell commands that change the same settings."),
                                     tr("Marlowin Help"));
            break;
        case Command::Close:
            hide();
            if (attached && !QSystemTrayIcon::isSystemTrayAvailable()) emit quitRequested();
            break;
    }
}

void CMainWindow::OpenServer(const QString& page) {
    if (!page.isEmpty() && !serverSheet->ShowPage(page)) {
        CConsoleMessageBox::Show(this, tr("The port settings page is not available in this build."));
        return;
    }
    serverSheet->Reload();
    ShowPanel(serverSheet);
}

void CMainWindow::LoggedInAs(const QString& userName, bool isAdministrator) {
    loggedIn = true;
    administrator = isAdministrator;
    ownName = userName.toStdString();
    EnableCommands();
    // The administrator's view starts with the accounts, a user's with its own;
    // the panel's greeting stays in sight on the editor's message line.
    Run(Command::User);
    userEditor->ShowMessage(loginPanel->Message());
}

void CMainWindow::ShowFromTray() {
    show();
    if (isMinimized()) showNormal();
    // While a cycle runs the window does not take the foreground.
    if (!busy) {
        raise();
        activateWindow();
    }
}

void CMainWindow::SetAttached() {
    if (attached) return;
    attached = true;
    QAction* stop = new QAction(tr("Stop &server"), trayMenu);
    stop->setObjectName("trayStopServer");
    connect(stop, &QAction::triggered, this, &CMainWindow::stopServerRequested);
    trayMenu->insertAction(trayMenu->actions().value(1), stop);
}

void CMainWindow::Quit() {
    // An attached console leaves the server and its cycle running.
    if (busy && !attached) {
        CConsoleMessageBox::Show(this, tr("A Send and Receive is in progress; quit when it has completed."));
        return;
    }
    emit quitRequested();
}

void CMainWindow::closeEvent(QCloseEvent* event) {
    // Closing only hides: the server keeps running in the tray. An attached
    // console without a tray to come back from closes.
    event->ignore();
    hide();
    if (attached && !QSystemTrayIcon::isSystemTrayAvailable()) emit quitRequested();
}

void CMainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (firstShow && !busy) {
        firstShow = false;
        loginPanel->Prepare();
        ShowPanel(loginPanel);
    }
}

void CMainWindow::Tick() {
    const QTime now = QTime::currentTime();
    clock->setText(QString::asprintf(" %d : %d : %d ", now.hour(), now.minute(), now.second()));
}

void CMainWindow::CycleNotified() {
    if (refreshQueued.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshQueued = false;
            CycleChanged();
        },
        Qt::QueuedConnection);
}

void CMainWindow::CycleChanged() {
    if (!cycle) return;
    const CCycleStatus::Snapshot status = cycle->Status();
    statusField->setText(QString::fromStdString(status.mainText));
    if (status.busy != busy) {
        busy = status.busy;
        EnableCommands();
        if (!busy) connectDialog->hide();
    }
    // The worker shows the window while it works (not while a cycle dials or
    // finishes); a window the user closed stays closed until the next one.
    if (status.shown != statusShown) {
        statusShown = status.shown;
        statusWindow->setVisible(statusShown);
    }
    statusWindow->Refresh(status);
}
