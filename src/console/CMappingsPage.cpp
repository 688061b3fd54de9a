// CMappingsPage: the mapped POP3 accounts of one account.
#include "console/CMappingsPage.h"

#include <optional>

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/CMailDatabase.h"
#include "store/CMappedAccounts.h"
#include "retrieval/MappedAccountCheck.h"

namespace {

enum Column { kServer, kPort, kUser, kEnabled, kLeave };

QString TooLong(const QString& field, std::size_t bytes) {
    return QStringLiteral("%1 is longer than %2 characters").arg(field).arg(bytes);
}

}  // namespace

CMappingsPage::CMappingsPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    list = new QTreeWidget(this);
    list->setObjectName("mappedAccounts");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"Server", "Port", "User Id", "Enabled", "Leave Mail On Server"});
    server = new QLineEdit(this);
    server->setObjectName("serverAddress");
    port = new QSpinBox(this);
    port->setObjectName("port");
    port->setRange(1, 65535);
    port->setValue(CMappedAccounts::kDefaultPort);
    remoteUser = new QLineEdit(this);
    remoteUser->setObjectName("remoteUser");
    password = new QLineEdit(this);
    password->setObjectName("remotePassword");
    password->setEchoMode(QLineEdit::Password);
    leaveOnServer = new QCheckBox("&Leave mail on server", this);
    leaveOnServer->setObjectName("leaveOnServer");

    auto* form = new QFormLayout;
    form->addRow("&Server Address :", server);
    form->addRow("P&ort :", port);
    form->addRow("User &Id :", remoteUser);
    form->addRow("&Password :", password);
    form->addRow(QString(), leaveOnServer);
    auto* add = new QPushButton("&Add", this);
    add->setObjectName("addMapping");
    auto* remove = new QPushButton("&Delete", this);
    remove->setObjectName("deleteMapping");
    auto* toggle = new QPushButton("&Enable/Disable", this);
    toggle->setObjectName("toggleMapping");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addWidget(toggle);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list);
    layout->addLayout(form);
    layout->addLayout(buttons);

    connect(add, &QPushButton::clicked, this, &CMappingsPage::Add);
    connect(remove, &QPushButton::clicked, this, &CMappingsPage::Delete);
    connect(toggle, &QPushButton::clicked, this, &CMappingsPage::ToggleEnabled);
}

bool CMappingsPage::AccountId(long& id) {
    if (userName.empty()) {
        CConsoleMessageBox::Show(this, "Please select UserName");
        return false;
    }
    return CConsolePage::AccountId(id);
}

void CMappingsPage::Reload() {
    list->clear();
    setEnabled(!userName.empty());
    if (userName.empty()) return;
    long id = 0;
    std::vector<CMappedAccounts::Entry> entries;
    if (!AccountId(id)) return;
    if (!CMappedAccounts::List(context.Connection(), id, entries)) {
        CConsoleMessageBox::Show(this, "The mapped accounts could not be read");
        return;
    }
    for (const CMappedAccounts::Entry& e : entries) {
        auto* item = new QTreeWidgetItem(list);
        item->setText(kServer, QString::fromStdString(e.server));
        item->setText(kPort, QString::number(e.port));
        item->setText(kUser, QString::fromStdString(e.remoteUser));
        item->setText(kEnabled, e.enabled ? "Yes" : "No");
        item->setText(kLeave, e.leaveOnServer ? "Yes" : "No");
    }
}

void CMappingsPage::Add() {
    CMappedAccounts::Entry entry;
    entry.server = server->text().trimmed().toStdString();
    entry.remoteUser = remoteUser->text().trimmed().toStdString();
    entry.port = port->value();
    entry.leaveOnServer = leaveOnServer->isChecked();
    const std::string secret = password->text().toStdString();
    QString problem;
    switch (MappedAccountCheck::CheckEntry(entry.server, entry.remoteUser, secret)) {
        case MappedAccountCheck::Outcome::Ok:
            break;
        case MappedAccountCheck::Outcome::NoUser:
            problem = "Enter Username";
            break;
        case MappedAccountCheck::Outcome::NoServer:
            problem = "Enter Server Address";
            break;
        case MappedAccountCheck::Outcome::NoPassword:
            problem = "Enter Password";
            break;
        case MappedAccountCheck::Outcome::UserTooLong:
            problem = TooLong("The user id", CMappedAccounts::kMaxRemoteUser);
            break;
        case MappedAccountCheck::Outcome::ServerTooLong:
            problem = TooLong("The server address", CMappedAccounts::kMaxServer);
            break;
        case MappedAccountCheck::Outcome::PasswordTooLong:
            problem = TooLong("The password", CMappedAccounts::kMaxPassword);
            break;
        case MappedAccountCheck::Outcome::BadServer:
            problem = "Enter a host name such as pop.example.org or an IP address as Server Address";
            break;
        case MappedAccountCheck::Outcome::BadUser:
            problem = "The user id must be printable ASCII characters without blanks";
            break;
        case MappedAccountCheck::Outcome::BadPassword:
            problem = "The password must be printable ASCII characters";
            break;
    }
    if (!problem.isEmpty()) {
        CConsoleMessageBox::Show(this, problem);
        return;
    }
    long id = 0;
    if (!AccountId(id)) return;
    switch (CMappedAccounts::Add(context.Connection(), id, entry, secret)) {
        case CMappedAccounts::Change::Made:
            server->clear();
            remoteUser->clear();
            password->clear();
            Reload();
            return;
        case CMappedAccounts::Change::NothingToDo:
            CConsoleMessageBox::Show(this, "This account is mapped already");
            return;
        case CMappedAccounts::Change::Failed:
            break;
    }
    CConsoleMessageBox::Show(this, "Sorry! Mapped Account could not be created");
}

void CMappingsPage::Delete() {
    QTreeWidgetItem* item = SelectedRow(list, "Please select a mapped account");
    if (!item) return;
    if (!CConsoleMessageBox::Ask(this, "Are you sure you want to delete the selected mapped account",
                                 "Confirm Delete Operation"))
        return;
    long id = 0;
    if (!AccountId(id)) return;
    if (CMappedAccounts::Delete(context.Connection(), id, item->text(kServer).toStdString(),
                                item->text(kUser).toStdString()) == CMappedAccounts::Change::Failed) {
        CConsoleMessageBox::Show(this, "Sorry! Mapped Account could not be deleted", "Delete");
        return;
    }
    Reload();
}

void CMappingsPage::ToggleEnabled() {
    QTreeWidgetItem* item = SelectedRow(list, "Please select a mapped account");
    if (!item) return;
    long id = 0;
    if (!AccountId(id)) return;
    const bool enable = item->text(kEnabled) != "Yes";
    if (CMappedAccounts::SetEnabled(context.Connection(), id, item->text(kServer).toStdString(),
                                    item->text(kUser).toStdString(), enable) == CMappedAccounts::Change::Failed) {
        CConsoleMessageBox::Show(this, "Sorry! Mapped Account could not be altered");
        return;
    }
    Reload();
}
