// CMailMonitorPage: the mail monitor's watches.
#include "console/CMailMonitorPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "store/CMailMonitor.h"
#include "foundation/CAccountList.h"

namespace {
enum Column { kUser, kType, kAddress };
}

CMailMonitorPage::CMailMonitorPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    list = new QTreeWidget(this);
    list->setObjectName("monitors");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"User Name", "Type", "Email Address"});
    watcher = new QComboBox(this);
    watcher->setObjectName("monitorUser");
    send = new QCheckBox("&Send", this);
    send->setObjectName("watchSend");
    receive = new QCheckBox("&Receive", this);
    receive->setObjectName("watchReceive");
    addresses = new QListWidget(this);
    addresses->setObjectName("monitorAddresses");
    addresses->setSelectionMode(QAbstractItemView::MultiSelection);
    auto* add = new QPushButton("Add", this);
    add->setObjectName("addMonitor");
    auto* remove = new QPushButton("Delete", this);
    remove->setObjectName("deleteMonitor");

    auto* grid = new QGridLayout;
    auto* userLabel = new QLabel("&UserName :", this);
    userLabel->setBuddy(watcher);
    grid->addWidget(userLabel, 0, 0);
    grid->addWidget(watcher, 0, 1);
    auto* types = new QHBoxLayout;
    types->addWidget(send);
    types->addWidget(receive);
    types->addStretch();
    grid->addWidget(new QLabel("Type :", this), 1, 0);
    grid->addLayout(types, 1, 1);
    grid->addWidget(new QLabel("Email Address :", this), 2, 0, Qt::AlignTop);
    grid->addWidget(addresses, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(add);
    buttons->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("MailMonitor Properties", this));
    layout->addWidget(list, 1);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &CMailMonitorPage::Add);
    connect(remove, &QPushButton::clicked, this, &CMailMonitorPage::Delete);
}

void CMailMonitorPage::Reload() {
    list->clear();
    watcher->clear();
    addresses->clear();
    const SQLHDBC connection = context.Connection();
    std::vector<MailMonitorEntry> entries;
    std::vector<CAccountList::Entry> accounts;
    std::vector<std::string> watchable;
    if (!CMailMonitor::ListMonitors(connection, entries) || !CAccountList::List(connection, accounts) ||
        !CMailMonitor::ListWatchableAddresses(connection, watchable))
        CConsoleMessageBox::Show(this, "The mail monitor could not be read");
    for (const MailMonitorEntry& entry : entries) {
        auto* item = new QTreeWidgetItem(list);
        item->setText(kUser, QString::fromStdString(entry.userName));
        item->setText(kType, QString::fromStdString(entry.typeText));
        item->setText(kAddress, QString::fromStdString(entry.address));
        item->setData(kUser, Qt::UserRole, QVariant::fromValue<qlonglong>(entry.accountId));
    }
    // Only administrators watch; the empty first choice means none picked.
    watcher->addItem(QString());
    for (const CAccountList::Entry& account : accounts)
        if (account.isAdmin)
            watcher->addItem(QString::fromStdString(account.userName), QVariant::fromValue<qlonglong>(account.accountId));
    const int own = watcher->findText(QString::fromStdString(userName));
    if (own > 0) watcher->setCurrentIndex(own);
    for (const std::string& address : watchable)
        if (!address.empty()) addresses->addItem(QString::fromStdString(address));
}

void CMailMonitorPage::Add() {
    std::optional<long> accountId;
    if (watcher->currentIndex() > 0) accountId = static_cast<long>(watcher->currentData().toLongLong());
    std::vector<std::string> picked;
    for (const QListWidgetItem* item : addresses->selectedItems()) picked.push_back(item->text().toStdString());
    std::vector<MailMonitorEntry> added;
    const std::string problem = CMailMonitor::AddMonitors(context.Connection(), accountId, send->isChecked(),
                                                          receive->isChecked(), picked, added);
    if (!problem.empty()) {
        CConsoleMessageBox::Show(this, QString::fromStdString(problem));
        return;
    }
    Reload();
}

void CMailMonitorPage::Delete() {
    QTreeWidgetItem* item = SelectedRow(list, "Please select a monitor entry");
    if (!item) return;
    const long accountId = static_cast<long>(item->data(kUser, Qt::UserRole).toLongLong());
    if (!CMailMonitor::DeleteMonitor(context.Connection(), accountId, item->text(kType).toStdString(),
                                     item->text(kAddress).toStdString())) {
        CConsoleMessageBox::Show(this, "The monitor entry could not be deleted");
        return;
    }
    Reload();
}
