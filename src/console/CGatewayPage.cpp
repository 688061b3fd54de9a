// CGatewayPage: the Netware gateway's schedule and outbox directory.
#include "console/CGatewayPage.h"

#include <algorithm>

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/CNetwareGateway.h"
#include "app/CommandSupport.h"
#include "console/CConsoleMessageBox.h"
#include "cycle/ScheduleCheck.h"
#include "foundation/GatewaySettingsCheck.h"

namespace {
using Check = GatewaySettingsCheck;

QSpinBox* Spin(QWidget* parent, const char* name, unsigned maximum) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(name);
    spin->setRange(0, static_cast<int>(maximum));
    return spin;
}
}  // namespace

CGatewayPage::CGatewayPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    at = new QRadioButton("At", this);
    at->setObjectName("gatewayAt");
    every = new QRadioButton("Every", this);
    every->setObjectName("gatewayEvery");
    hour = Spin(this, "gatewayHour", ScheduleCheck::kMaxHour);
    minutes = Spin(this, "gatewayMinutes", ScheduleCheck::kMaxMinute);
    everyMinutes = Spin(this, "gatewayEveryMinutes", Check::kMaxEveryMinutes);
    outbox = new QLineEdit(this);
    outbox->setObjectName("outboxDirectory");
    auto* browse = new QPushButton("...", this);
    browse->setObjectName("browseOutbox");
    message = new QLabel(this);
    message->setObjectName("message");
    auto* update = new QPushButton("Update", this);
    update->setObjectName("updateGateway");

    auto* grid = new QGridLayout;
    grid->addWidget(at, 0, 0);
    grid->addWidget(hour, 0, 1);
    grid->addWidget(new QLabel(":", this), 0, 2);
    grid->addWidget(minutes, 0, 3);
    grid->addWidget(every, 1, 0);
    grid->addWidget(everyMinutes, 1, 1);
    grid->addWidget(new QLabel("minutes", this), 1, 2, 1, 2);
    auto* pathRow = new QHBoxLayout;
    auto* outboxLabel = new QLabel("Netware &Outbox Directory :", this);
    outboxLabel->setBuddy(outbox);
    pathRow->addWidget(outboxLabel);
    pathRow->addWidget(outbox, 1);
    pathRow->addWidget(browse);
    auto* row = new QHBoxLayout;
    row->addWidget(message, 1);
    row->addWidget(update);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(pathRow);
    layout->addLayout(row);
    layout->addStretch();
    connect(at, &QRadioButton::toggled, this, [this](bool on) {
        hour->setEnabled(on);
        minutes->setEnabled(on);
        everyMinutes->setEnabled(!on);
    });
    connect(browse, &QPushButton::clicked, this, &CGatewayPage::Browse);
    connect(update, &QPushButton::clicked, this, &CGatewayPage::Update);
    Reload();
}

void CGatewayPage::Reload() {
    message->clear();
    const std::string problem = CommandSupport::SettingsProblem();
    if (!problem.empty()) {
        message->setText(QString::fromStdString("The settings file cannot be read: " + problem));
        return;
    }
    const CNetwareGateway::Settings settings = CNetwareGateway::ReadSettings();
    at->setChecked(settings.at);
    every->setChecked(!settings.at);
    hour->setValue(static_cast<int>(std::min<DWORD>(settings.hour, ScheduleCheck::kMaxHour)));
    minutes->setValue(static_cast<int>(std::min<DWORD>(settings.minutes, ScheduleCheck::kMaxMinute)));
    everyMinutes->setValue(static_cast<int>(std::min<DWORD>(settings.everyMinutes, Check::kMaxEveryMinutes)));
    outbox->setText(QString::fromStdString(settings.outboxDirectory));
    hour->setEnabled(settings.at);
    minutes->setEnabled(settings.at);
    everyMinutes->setEnabled(!settings.at);
}

void CGatewayPage::Browse() {
    const QString picked =
        QFileDialog::getOpenFileName(this, QString(), outbox->text(), "Mail Files (*.cnm)");
    if (!picked.isEmpty()) outbox->setText(QFileInfo(picked).absolutePath());
}

void CGatewayPage::Update() {
    const std::string directory = outbox->text().trimmed().toStdString();
    if (Check::CheckOutbox(directory) == Check::Outcome::DirectoryTooLong) {
        CConsoleMessageBox::Show(
            this, QStringLiteral("The directory is longer than %1 characters").arg(Check::kMaxDirectory));
        return;
    }
    // Unchanged values of the other mode stay as they are, as with the command.
    CNetwareGateway::Settings settings = CNetwareGateway::ReadSettings();
    settings.at = at->isChecked();
    if (settings.at) {
        settings.hour = static_cast<DWORD>(hour->value());
        settings.minutes = static_cast<DWORD>(minutes->value());
    } else {
        settings.everyMinutes = static_cast<DWORD>(everyMinutes->value());
    }
    settings.outboxDirectory = directory;
    message->setText(CNetwareGateway::WriteSettings(settings) ? "Gateway updated" : "Gateway could not be updated");
}
