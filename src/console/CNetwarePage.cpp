// CNetwarePage: an account's Netware exchange.
#include "console/CNetwarePage.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "foundation/CAccountRows.h"
#include "console/CConsoleMessageBox.h"
#include "delivery/CNetwareExport.h"
#include "delivery/NetwareSettingsCheck.h"
#include "foundation/CMailDatabase.h"

namespace {
const QString kGatewayTitle = QStringLiteral("Tessal Netware Gateway");
}

CNetwarePage::CNetwarePage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    title = new QLabel(this);
    title->setObjectName("netwareTitle");
    directory = new QLineEdit(this);
    directory->setObjectName("netwareDirectory");
    auto* browse = new QPushButton("...", this);
    browse->setObjectName("browseDirectory");
    address = new QLineEdit(this);
    address->setObjectName("netwareAddress");
    leaveCopy = new QCheckBox("&Leave a copy in the mailbox", this);
    leaveCopy->setObjectName("leaveCopy");
    message = new QLabel(this);
    message->setObjectName("message");
    auto* save = new QPushButton("&Update", this);
    save->setObjectName("saveNetware");

    auto* group = new QGroupBox("Netware Configuration", this);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(directory, 1);
    pathRow->addWidget(browse);
    auto* form = new QFormLayout(group);
    form->addRow("Mail &Directory :", pathRow);
    form->addRow("Internet &Email Address :", address);
    form->addRow(QString(), leaveCopy);
    auto* row = new QHBoxLayout;
    row->addWidget(message, 1);
    row->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(group);
    layout->addLayout(row);
    layout->addStretch();
    connect(browse, &QPushButton::clicked, this, &CNetwarePage::Browse);
    connect(save, &QPushButton::clicked, this, &CNetwarePage::Save);
}

void CNetwarePage::Reload() {
    title->setText(QString::fromStdString(userName) + " on Netware");
    directory->clear();
    address->clear();
    leaveCopy->setChecked(false);
    message->clear();
    setEnabled(!userName.empty());
    if (userName.empty()) return;
    const std::optional<long> id = CAccountRows::AccountIdByName(context.Connection(), userName);
    if (!id) return;
    const std::optional<NetwareSettings> settings = CNetwareExport::LoadNetwareSettings(context.Connection(), *id);
    if (!settings) return;
    directory->setText(QString::fromStdString(settings->mailPath));
    address->setText(QString::fromStdString(settings->Address()));
    leaveCopy->setChecked(settings->leaveCopy);
}

void CNetwarePage::Browse() {
    const QString picked = QFileDialog::getExistingDirectory(
        this, "Please select and double-click on the directory", directory->text());
    if (!picked.isEmpty()) directory->setText(picked);
}

void CNetwarePage::Save() {
    std::optional<NetwareSettings> wanted;
    NetwareSettings settings;
    settings.leaveCopy = leaveCopy->isChecked();
    switch (NetwareSettingsCheck::Check(directory->text().trimmed().toStdString(),
                                        address->text().trimmed().toStdString(), settings)) {
        case NetwareSettingsCheck::Outcome::Ok:
            wanted = settings;
            break;
        case NetwareSettingsCheck::Outcome::NoDirectory:
            // No directory turns the exchange off.
            break;
        case NetwareSettingsCheck::Outcome::DirectoryTooLong:
            CConsoleMessageBox::Show(
                this, QStringLiteral("The directory is longer than %1 characters").arg(CNetwareExport::kMaxMailPath),
                kGatewayTitle);
            return;
        case NetwareSettingsCheck::Outcome::BadAddress:
            CConsoleMessageBox::Show(this, CNetwareExport::kInvalidAddress, kGatewayTitle);
            return;
    }
    long id = 0;
    if (!AccountId(id)) return;
    if (!CNetwareExport::SaveNetwareSettings(context.Connection(), id, wanted)) {
        CConsoleMessageBox::Show(this, "The Netware settings could not be saved: the database did not take the change",
                                 kGatewayTitle);
        return;
    }
    message->setText(wanted ? "Netware settings updated" : "Netware exchange turned off");
}
