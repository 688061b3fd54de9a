// CForwardingPage: an account's forwarding addresses.
#include "console/CForwardingPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "delivery/CForwarding.h"
#include "delivery/ForwardingTargetCheck.h"
#include "foundation/CMailDatabase.h"
#include "platform/Text.h"

namespace {
enum Column { kUser, kServer, kLocal };
}

CForwardingPage::CForwardingPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    title = new QLabel(this);
    title->setObjectName("forwardingTitle");
    list = new QTreeWidget(this);
    list->setObjectName("forwardings");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"Username", "Server Address", "Use Local SMTP"});
    user = new QLineEdit(this);
    user->setObjectName("forwardUser");
    server = new QLineEdit(this);
    server->setObjectName("forwardServer");
    useLocalSmtp = new QCheckBox("Use Local SMTP", this);
    useLocalSmtp->setObjectName("useLocalSmtp");
    retainCopy = new QCheckBox("Retain copy of forwarded mail", this);
    retainCopy->setObjectName("retainCopy");
    auto* form = new QFormLayout;
    form->addRow("&Username :", user);
    form->addRow("&Server Address :", server);
    form->addRow(QString(), useLocalSmtp);
    auto* add = new QPushButton("&Add", this);
    add->setObjectName("addForward");
    auto* remove = new QPushButton("&Delete", this);
    remove->setObjectName("deleteForward");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(list);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(retainCopy);
    connect(add, &QPushButton::clicked, this, &CForwardingPage::Add);
    connect(remove, &QPushButton::clicked, this, &CForwardingPage::Delete);
    connect(retainCopy, &QCheckBox::toggled, this, &CForwardingPage::RetainChanged);
}

void CForwardingPage::Reload() {
    list->clear();
    title->setText(QString::fromStdString(userName) + "-Forwardings");
    setEnabled(!userName.empty());
    long id = 0;
    if (userName.empty() || !AccountId(id)) return;
    for (const CForwarding::Entry& entry : CForwarding::LoadList(context.Connection(), id)) {
        auto* item = new QTreeWidgetItem(list);
        item->setText(kUser, QString::fromStdString(entry.userId));
        item->setText(kServer, QString::fromStdString(entry.serverAddr));
        item->setText(kLocal, entry.routeLocal ? "Yes" : "No");
    }
    const QSignalBlocker quiet(retainCopy);
    retainCopy->setChecked(CForwarding::IsRetainCopy(context.Connection(), id));
}

void CForwardingPage::Add() {
    const std::string userId = user->text().trimmed().toStdString();
    const std::string serverAddr = server->text().trimmed().toStdString();
    QString problem;
    switch (ForwardingTargetCheck::Check(userId, serverAddr)) {
        case ForwardingTargetCheck::Outcome::Ok:
            break;
        case ForwardingTargetCheck::Outcome::NoUser:
            problem = "Enter Username";
            break;
        case ForwardingTargetCheck::Outcome::NoServer:
            problem = "Enter Server Address";
            break;
        case ForwardingTargetCheck::Outcome::UserTooLong:
            problem = QStringLiteral("The username is longer than %1 characters").arg(CForwarding::kMaxUserId);
            break;
        case ForwardingTargetCheck::Outcome::ServerTooLong:
            problem =
                QStringLiteral("The server address is longer than %1 characters").arg(CForwarding::kMaxServerAddr);
            break;
        case ForwardingTargetCheck::Outcome::NotPlain:
            problem =
                "The forwarding address must be user@domain without blanks or the characters @ < > ( ) [ ] , ; "
                ": \" \\";
            break;
    }
    if (!problem.isEmpty()) {
        CConsoleMessageBox::Show(this, problem);
        return;
    }
    long id = 0;
    if (!AccountId(id)) return;
    for (const CForwarding::Entry& entry : CForwarding::LoadList(context.Connection(), id))
        if (EqualsNoCase(entry.userId, userId) && EqualsNoCase(entry.serverAddr, serverAddr)) {
            CConsoleMessageBox::Show(this, "This forwarding address exists already");
            return;
        }
    if (!CForwarding::Add(context.Connection(), id, userId, serverAddr, useLocalSmtp->isChecked())) {
        CConsoleMessageBox::Show(this, "Sorry! Forwarding Address could not be created");
        return;
    }
    user->clear();
    server->clear();
    Reload();
}

void CForwardingPage::Delete() {
    QTreeWidgetItem* item = SelectedRow(list, "Please select a forwarding address");
    if (!item) return;
    if (!CConsoleMessageBox::Ask(this, "Are you sure you want to delete the selected forwarding address",
                                 "Confirm Delete Operation"))
        return;
    long id = 0;
    if (!AccountId(id)) return;
    if (!CForwarding::Delete(context.Connection(), id, item->text(kUser).toStdString(),
                             item->text(kServer).toStdString())) {
        CConsoleMessageBox::Show(this, "Sorry! Mapped Account could not be deleted");
        CConsoleMessageBox::Show(this, "Account could not be deleted", "Delete");
        return;
    }
    Reload();
}

void CForwardingPage::RetainChanged(bool retain) {
    long id = 0;
    if (AccountId(id) && CForwarding::SetRetainCopy(context.Connection(), id, retain)) return;
    CConsoleMessageBox::Show(this, "Sorry! Retain Forwarded Mail option could not be altered");
    const QSignalBlocker quiet(retainCopy);
    retainCopy->setChecked(!retain);
}
