// CConnectionPage: edits "Connect.stg" through CConnectionSettings and
// dials or hangs up a phone-book entry through CDialConnection.
#include "console/CConnectionPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "cycle/CConnectionSettings.h"
#include "cycle/CDialConnection.h"
#include "cycle/CPhoneBook.h"
#include "foundation/ConnectionSettingsCheck.h"
#include "platform/CommandProcess.h"

namespace {

using Check = ConnectionSettingsCheck;

bool Printable(const QString& text) {
    return Check::CheckText(text.toUtf8().toStdString()) == Check::Outcome::Ok;
}

}  // namespace

CConnectionPage::CConnectionPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);
    auto* box = new QGroupBox(QStringLiteral("Internet Connection Details"), this);
    auto* form = new QFormLayout(box);
    auto* choices = new QHBoxLayout;
    lan = new QRadioButton(QStringLiteral("LAN/DSL/Cable "), box);
    lan->setObjectName("lan");
    dialUp = new QRadioButton(QStringLiteral("Dial-up Connection"), box);
    dialUp->setObjectName("dialUp");
    choices->addWidget(lan);
    choices->addWidget(dialUp);
    choices->addStretch();
    form->addRow(QStringLiteral("I am using"), choices);

    connectionName = new QComboBox(box);
    connectionName->setObjectName("connectionName");
    retries = new QLineEdit(box);
    retries->setObjectName("retries");
    retries->setMaxLength(3);
    retries->setValidator(new QIntValidator(0, 999, retries));
    userName = new QLineEdit(box);
    userName->setObjectName("userName");
    password = new QLineEdit(box);
    password->setObjectName("password");
    password->setEchoMode(QLineEdit::Password);
    interval = new QLineEdit(box);
    interval->setObjectName("interval");
    form->addRow(QStringLiteral("Connection Name:"), connectionName);
    form->addRow(QStringLiteral("No. Of Retries :"), retries);
    form->addRow(QStringLiteral("User Name :"), userName);
    form->addRow(QStringLiteral("Password :"), password);
    form->addRow(QStringLiteral("Interval :"), interval);
    layout->addWidget(box);

    status = new QLabel(this);
    status->setObjectName("status");
    layout->addWidget(status);

    auto* buttons = new QHBoxLayout;
    connectButton = new QPushButton(QStringLiteral("Connect"), this);
    connectButton->setObjectName("connect");
    hangupButton = new QPushButton(QStringLiteral("Hangup"), this);
    hangupButton->setObjectName("hangup");
    auto* update = new QPushButton(QStringLiteral("Update"), this);
    update->setObjectName("update");
    buttons->addWidget(connectButton);
    buttons->addWidget(hangupButton);
    buttons->addStretch();
    buttons->addWidget(update);
    layout->addLayout(buttons);
    layout->addStretch();

    redial = new QTimer(this);
    redial->setInterval(1000);
    connect(redial, &QTimer::timeout, this, &CConnectionPage::RedialIfDue);
    connect(dialUp, &QRadioButton::toggled, this, &CConnectionPage::MethodChanged);
    connect(connectButton, &QPushButton::clicked, this, &CConnectionPage::Connect);
    connect(hangupButton, &QPushButton::clicked, this, &CConnectionPage::Hangup);
    connect(update, &QPushButton::clicked, this, &CConnectionPage::Update);
    Reload();
}

CConnectionPage::~CConnectionPage() {
    // A dial still running is given up; its thread is gone before the page.
    dial.reset();
    WaitForWorker();
}

void CConnectionPage::WaitForWorker() {
    if (worker.joinable()) worker.join();
}

QString CConnectionPage::Status() const {
    return status->text();
}

void CConnectionPage::Reload() {
    CConnectionSettings settings;
    settings.Load();
    CPhoneBook book;
    book.Load();
    connectionName->clear();
    for (const CPhoneBook::Entry& entry : book.Entries()) connectionName->addItem(QString::fromStdString(entry.name));
    // The list's own choice: the first entry that begins with the stored
    // name, else the first entry.
    if (const CPhoneBook::Entry* chosen = book.Select(settings.IsDialUp() ? settings.entryName : std::string()))
        connectionName->setCurrentText(QString::fromStdString(chosen->name));
    (settings.IsDialUp() ? dialUp : lan)->setChecked(true);
    retries->setText(QString::number(settings.retries));
    userName->setText(QString::fromStdString(settings.userName));
    password->setText(QString::fromStdString(settings.password));
    interval->setText(QString::fromStdString(settings.interval));
    MethodChanged();
}

void CConnectionPage::MethodChanged() {
    const bool on = dialUp->isChecked();
    for (QWidget* control :
         std::initializer_list<QWidget*>{connectionName, retries, userName, password, interval, connectButton})
        control->setEnabled(on);
    hangupButton->setEnabled(on);
}

void CConnectionPage::Update() {
    CConnectionSettings settings;
    settings.Load();
    // The dial-up fields are checked and written only with "Dial-up
    // Connection": with the other choice they are closed and stay as stored.
    const bool dialing = dialUp->isChecked();
    std::uint32_t count = 0;
    if (dialing && Check::CheckRetries(retries->text().toStdString(), count) != Check::Outcome::Ok) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the No. Of Retries from 1 to 100"));
        return;
    }
    const QString seconds = interval->text().trimmed();
    if (dialing && Check::CheckInterval(seconds.toStdString()) != Check::Outcome::Ok) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the Interval in seconds (at most 99999)"));
        return;
    }
    for (const QString& text : {connectionName->currentText(), userName->text(), password->text()}) {
        if (dialing && !Printable(text)) {
            CConsoleMessageBox::Show(this, QStringLiteral("A text of the connection is longer than 1024 characters or "
                                                          "holds control characters"));
            return;
        }
    }
    settings.method = dialing ? CConnectionSettings::kDialUp : CConnectionSettings::kLan;
    if (dialing) {
        // With no phone book to choose from, the stored name stays.
        if (connectionName->count() > 0) settings.entryName = connectionName->currentText().toStdString();
        settings.userName = userName->text().toStdString();
        settings.password = password->text().toStdString();
        settings.retries = count;
        settings.interval = seconds.toStdString();
    }
    if (!settings.Save()) {
        CConsoleMessageBox::Show(this, QStringLiteral("Connect.stg could not be written"), QStringLiteral("Marlowin"),
                                 CConsoleMessageBox::Icon::Stop);
        Reload();
    }
}

void CConnectionPage::ShowStatus(const QString& text) {
    status->setText(text);
}

void CConnectionPage::DialEnded() {
    connectButton->setEnabled(dialUp->isChecked());
}

void CConnectionPage::Connect() {
    const bool ours = dial && (dial->GetState() == CDialConnection::kDialing || dial->MadeConnection());
    if (ours || CDialConnection::CallInProgress()) {
        ShowStatus(QStringLiteral("Call in Progress. Please try after some time"));
        return;
    }
    CConnectionSettings settings;
    settings.Load();
    CPhoneBook book;
    book.Load();
    // The dial thread reports through the hooks; the page is changed only
    // on its own thread, and not at all once it is gone.
    QPointer<CConnectionPage> page(this);
    CDialConnection::Hooks hooks;
    hooks.show = [page](const std::string& text) {
        QMetaObject::invokeMethod(
            page.data(),
            [page, text = QString::fromStdString(text)] {
                if (page) page->ShowStatus(text);
            },
            Qt::QueuedConnection);
    };
    hooks.connected = [page] {
        QMetaObject::invokeMethod(
            page.data(),
            [page] {
                if (page) page->DialEnded();
            },
            Qt::QueuedConnection);
    };
    hooks.cancelled = hooks.connected;
    // Someone sits at the console: ending the call is theirs to decide.
    hooks.cancelOnUserEnd = false;
    dial.reset();
    dial = std::make_unique<CDialConnection>(std::move(book), std::move(hooks));
    dial->Configure(settings.entryName, settings.userName, settings.password, settings.retries, settings.interval);
    ShowStatus(QStringLiteral("Dialing %1").arg(QString::fromStdString(settings.entryName)));
    connectButton->setEnabled(false);
    dial->Dial();
    redial->start();
}

void CConnectionPage::RedialIfDue() {
    // A failed dial with retries left is dialed again here, as the main
    // window's tick does for a cycle.
    if (!dial || dial->GetState() == CDialConnection::kConnected || dial->GetState() == CDialConnection::kCancelled) {
        redial->stop();
        return;
    }
    if (dial->RedialDue()) dial->Dial();
}

void CConnectionPage::Hangup() {
    WaitForWorker();
    redial->stop();
    connectButton->setEnabled(false);
    hangupButton->setEnabled(false);
    QPointer<CConnectionPage> page(this);
    // A link this page brought up is taken down by its dial object; one
    // brought up elsewhere by the entry's down command, as the shell does.
    std::shared_ptr<CDialConnection> ours(dial.release());
    worker = std::thread([page, ours] {
        QString text = QStringLiteral("Disconnected");
        if (ours && ours->MadeConnection()) {
            ours->HangUp();
        } else {
            CConnectionSettings settings;
            settings.Load();
            CPhoneBook book;
            book.Load();
            const CPhoneBook::Entry* entry = book.Select(settings.entryName);
            if (!entry || entry->down.empty()) {
                text = QStringLiteral("The connection has no command to hang up");
            } else {
                const CommandProcess::RunResult down =
                    CommandProcess::Run(entry->down, {"VELMORA_DIAL_ENTRY=" + entry->name}, entry->timeout);
                if (!down.Succeeded()) text = QStringLiteral("The connection could not be hung up");
            }
        }
        QMetaObject::invokeMethod(
            page.data(),
            [page, text] {
                if (!page) return;
                page->ShowStatus(text);
                page->MethodChanged();
            },
            Qt::QueuedConnection);
    });
}
