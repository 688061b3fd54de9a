// CRemoteAccountsPage: lists and changes RemoteServerAccounts through
// CRemoteServerAccounts, with the checks of the remoteaccount command.
#include "console/CRemoteAccountsPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "foundation/CAccountRows.h"
#include "console/CConsoleMessageBox.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CRemoteServerAccounts.h"
#include "foundation/RemoteAccountCheck.h"
#include "foundation/OdbcTransaction.h"
#include "platform/Text.h"

namespace {

using Accounts = CRemoteServerAccounts;
using Check = RemoteAccountCheck;

QLineEdit* Field(const char* objectName, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(objectName);
    return field;
}

std::string Text(const QLineEdit* field) {
    return field->text().trimmed().toStdString();
}

void Failed(QWidget* parent, const QString& text) {
    CConsoleMessageBox::Show(parent, text, QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
}

}  // namespace

CRemoteAccountsPage::CRemoteAccountsPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);
    accounts = new QTreeWidget(this);
    accounts->setObjectName("accounts");
    accounts->setRootIsDecorated(false);
    accounts->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("User"), QStringLiteral("Server"),
                               QStringLiteral("Port"), QStringLiteral("Remote UserId"),
                               QStringLiteral("Leave Mail On Server"), QStringLiteral("Alias")});
    layout->addWidget(accounts);

    auto* form = new QFormLayout;
    name = Field("name", this);
    owner = Field("owner", this);
    server = Field("server", this);
    port = Field("port", this);
    port->setMaxLength(5);
    port->setValidator(new QIntValidator(0, 99999, port));
    remoteUser = Field("remoteUser", this);
    password = Field("password", this);
    password->setEchoMode(QLineEdit::Password);
    leaveOnServer = new QCheckBox(QStringLiteral("Leave Mail On Server"), this);
    leaveOnServer->setObjectName("leaveOnServer");
    alias = new QCheckBox(QStringLiteral("Distribute By Recipient And Alias"), this);
    alias->setObjectName("alias");
    aliasAddress = Field("aliasAddress", this);
    form->addRow(QStringLiteral("Name :"), name);
    form->addRow(QStringLiteral("User Name :"), owner);
    form->addRow(QStringLiteral("Server :"), server);
    form->addRow(QStringLiteral("Port :"), port);
    form->addRow(QStringLiteral("Remote UserId :"), remoteUser);
    form->addRow(QStringLiteral("Password :"), password);
    form->addRow(leaveOnServer);
    form->addRow(alias);
    form->addRow(QStringLiteral("Domain Or Address :"), aliasAddress);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    const std::pair<const char*, const char*> captions[] = {
        {"&Add", "add"}, {"&Update", "update"}, {"&Delete", "delete"}};
    void (CRemoteAccountsPage::*actions[])() = {&CRemoteAccountsPage::Add, &CRemoteAccountsPage::Update,
                                                &CRemoteAccountsPage::Delete};
    for (int i = 0; i < 3; ++i) {
        auto* button = new QPushButton(QString::fromLatin1(captions[i].first), this);
        button->setObjectName(captions[i].second);
        connect(button, &QPushButton::clicked, this, actions[i]);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    layout->addLayout(buttons);

    port->setText(QStringLiteral("110"));
    connect(alias, &QCheckBox::toggled, aliasAddress, &QWidget::setEnabled);
    aliasAddress->setEnabled(false);
    connect(accounts, &QTreeWidget::currentItemChanged, this, &CRemoteAccountsPage::RowChosen);
    Reload();
}

void CRemoteAccountsPage::Reload() {
    accounts->clear();
    Accounts list(context.Connection());
    if (!list.Load()) {
        Failed(this, QStringLiteral("The remote server accounts cannot be read from the database"));
        return;
    }
    for (const Accounts::Account& a : list.Accounts()) {
        new QTreeWidgetItem(
            accounts, {QString::fromStdString(a.serverName), QString::fromStdString(a.userName),
                       QString::fromStdString(a.serverAddr), QString::number(a.port), QString::fromStdString(a.userId),
                       a.leaveMailOnServer ? QStringLiteral("Yes") : QStringLiteral("No"),
                       a.alias ? QString::fromStdString(a.aliasAddress) : QString()});
    }
}

void CRemoteAccountsPage::RowChosen() {
    const QTreeWidgetItem* row = accounts->currentItem();
    if (!row) return;
    Accounts list(context.Connection());
    list.Load();
    const Accounts::Account* a = list.Find(row->text(0).toStdString());
    if (!a) return;
    name->setText(QString::fromStdString(a->serverName));
    owner->setText(QString::fromStdString(a->userName));
    server->setText(QString::fromStdString(a->serverAddr));
    port->setText(QString::number(a->port));
    remoteUser->setText(QString::fromStdString(a->userId));
    password->setText(QString::fromStdString(a->pass));
    leaveOnServer->setChecked(a->leaveMailOnServer);
    alias->setChecked(a->alias);
    aliasAddress->setText(QString::fromStdString(a->aliasAddress));
}

QString CRemoteAccountsPage::Problem(bool adding) {
    if (Check::CheckName(Text(name)) != Check::Outcome::Ok)
        return QStringLiteral("Please Enter a Name of 1 to 64 characters without blanks");
    if (Text(owner).empty() || !context.database ||
        CAccountRows::AccountExists(context.database->GetConnectionHandle(), Text(owner)) != CAccountRows::Presence::Present)
        return QStringLiteral("Please Enter the User Name of a local account");
    if (Check::CheckServer(Text(server)) != Check::Outcome::Ok)
        return QStringLiteral("Please Enter the Server (at most 255 characters, no blanks)");
    long number = 0;
    if (Check::CheckPort(port->text().toStdString(), number) != Check::Outcome::Ok)
        return QStringLiteral("Please Enter a Port from 1 to 65535");
    if (Check::CheckUser(Text(remoteUser)) != Check::Outcome::Ok)
        return QStringLiteral("Please Enter the Remote UserId (at most 64 characters, no blanks)");
    if (Check::CheckPassword(password->text().toStdString()) != Check::Outcome::Ok)
        return QStringLiteral("The Password may have at most 64 characters");
    const std::string address = Text(aliasAddress);
    if (alias->isChecked() && Check::CheckAliasAddress(address) != Check::Outcome::Ok)
        return QStringLiteral("Please Enter the Domain Or Address the mailbox serves, such as example.org");
    Accounts list(context.Connection());
    if (!list.Load()) return QStringLiteral("The remote server accounts cannot be read from the database");
    const bool exists = list.Find(Text(name)) != nullptr;
    if (adding && exists) return QStringLiteral("A Remote Server Account of this Name already exists");
    if (!adding && !exists) return QStringLiteral("There is no Remote Server Account of this Name");
    return QString();
}

void CRemoteAccountsPage::Add() {
    const QString problem = Problem(true);
    if (!problem.isEmpty()) {
        CConsoleMessageBox::Show(this, problem);
        return;
    }
    Accounts::Account a;
    a.serverName = Text(name);
    a.userName = Text(owner);
    a.userId = Text(remoteUser);
    a.serverAddr = Text(server);
    a.port = port->text().toLong();
    a.pass = password->text().toStdString();
    a.leaveMailOnServer = leaveOnServer->isChecked();
    a.alias = alias->isChecked();
    a.aliasAddress = a.alias ? FoldCase(Text(aliasAddress)) : std::string();
    Accounts list(context.Connection());
    if (!list.Add(a)) Failed(this, QStringLiteral("The Remote Server Account could not be added to the database"));
    Reload();
}

void CRemoteAccountsPage::Update() {
    const QString problem = Problem(false);
    if (!problem.isEmpty()) {
        CConsoleMessageBox::Show(this, problem);
        return;
    }
    Accounts list(context.Connection());
    const Accounts::Account* found = list.Load() ? list.Find(Text(name)) : nullptr;
    if (!found) {
        Failed(this, QStringLiteral("The Remote Server Account could not be read from the database"));
        return;
    }
    const Accounts::Account before = *found;
    const std::string key = before.serverName;
    using T = Accounts::TextColumn;
    using F = Accounts::FlagColumn;
    // Only what changed is written, as the command's set does, and all of it
    // or nothing where the connection allows.
    OdbcTransaction transaction(context.Connection());
    const auto text = [&](T column, const std::string& now, const std::string& was) {
        return now == was || list.SetText(key, column, now);
    };
    const std::string address = alias->isChecked() ? FoldCase(Text(aliasAddress)) : before.aliasAddress;
    const bool ok = text(T::UserName, Text(owner), before.userName) &&
                    text(T::ServerAddr, Text(server), before.serverAddr) &&
                    (port->text().toLong() == before.port || list.SetPort(key, port->text().toLong())) &&
                    text(T::UserId, Text(remoteUser), before.userId) &&
                    text(T::Pass, password->text().toStdString(), before.pass) &&
                    (leaveOnServer->isChecked() == before.leaveMailOnServer ||
                     list.SetFlag(key, F::LeaveMailOnServer, leaveOnServer->isChecked())) &&
                    text(T::AliasAddress, address, before.aliasAddress) &&
                    (alias->isChecked() == before.alias || list.SetFlag(key, F::Alias, alias->isChecked()));
    if (!ok || !transaction.Commit())
        Failed(this, QStringLiteral("The Remote Server Account could not be changed in the database"));
    Reload();
}

void CRemoteAccountsPage::Delete() {
    const QTreeWidgetItem* row = accounts->currentItem();
    if (!row) return;
    if (!CConsoleMessageBox::Ask(this, QStringLiteral("Are you sure you want to delete the selected Remote Account"),
                                 QStringLiteral("Confirm Delete Operation")))
        return;
    Accounts list(context.Connection());
    if (!list.Delete(row->text(0).toStdString()))
        Failed(this, QStringLiteral("The Remote Server Account could not be deleted from the database"));
    Reload();
}
