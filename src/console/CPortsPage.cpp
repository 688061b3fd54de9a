// CPortsPage: shows the Ports settings and saves them through CPortSettings.
#include "console/CPortsPage.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "console/CRelayHostDialog.h"
#include "foundation/CPortSettings.h"
#include "foundation/SettingsCheck.h"
#include "platform/Text.h"

namespace {

QLineEdit* PortField(const char* name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMaxLength(5);
    field->setValidator(new QIntValidator(0, 99999, field));
    return field;
}

std::uint32_t PortOf(const QLineEdit* field) {
    bool ok = false;
    const uint value = field->text().toUInt(&ok);
    return ok ? value : 0;
}

// Smart delivery asks the name servers itself: each entry must name one by
// address, as `reg set` demands.
bool DnsEntriesUsable() {
    for (const std::string& entry : CPortSettings::DnsEntries())
        if (!settings::IsNameServerText(std::string(Trim(entry)))) return false;
    return true;
}

}  // namespace

CPortsPage::CPortsPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);

    auto* ports = new QGroupBox(QStringLiteral("Server Ports"), this);
    auto* portForm = new QFormLayout(ports);
    smtpPort = PortField("smtpPort", ports);
    pop3Port = PortField("pop3Port", ports);
    webServerPort = PortField("webServerPort", ports);
    portForm->addRow(QStringLiteral("SMTP Port :"), smtpPort);
    portForm->addRow(QStringLiteral("POP3 Port :"), pop3Port);
    portForm->addRow(QStringLiteral("WebServer Port :"), webServerPort);
    layout->addWidget(ports);

    auto* delivery = new QGroupBox(QStringLiteral("Mail Delivery"), this);
    auto* deliveryForm = new QFormLayout(delivery);
    directRelay = new QRadioButton(QStringLiteral("Direct Relay"), delivery);
    directRelay->setObjectName("directRelay");
    smartRelay = new QRadioButton(QStringLiteral("Smart SMTP Relay"), delivery);
    smartRelay->setObjectName("smartRelay");
    authenticationRelay = new QRadioButton(QStringLiteral("Authentication Relay"), delivery);
    authenticationRelay->setObjectName("authenticationRelay");
    relayHost = new QPushButton(QStringLiteral("Remote &Gateway Server..."), delivery);
    relayHost->setObjectName("relayHost");
    authentication = new QPushButton(QStringLiteral("SMTP &Authentication..."), delivery);
    authentication->setObjectName("authentication");
    auto* direct = new QHBoxLayout;
    direct->addWidget(directRelay);
    direct->addWidget(relayHost);
    auto* authenticated = new QHBoxLayout;
    authenticated->addWidget(authenticationRelay);
    authenticated->addWidget(authentication);
    deliveryForm->addRow(direct);
    deliveryForm->addRow(smartRelay);
    deliveryForm->addRow(authenticated);
    gatewayPort = PortField("gatewayPort", delivery);
    deliveryForm->addRow(QStringLiteral("Remote Port :"), gatewayPort);
    layout->addWidget(delivery);

    auto* update = new QPushButton(QStringLiteral("&Update"), this);
    update->setObjectName("update");
    layout->addWidget(update, 0, Qt::AlignRight);
    layout->addStretch();

    for (QRadioButton* choice : {directRelay, smartRelay, authenticationRelay})
        connect(choice, &QRadioButton::toggled, this, &CPortsPage::MethodChanged);
    connect(relayHost, &QPushButton::clicked, this, &CPortsPage::EditRelayHost);
    connect(authentication, &QPushButton::clicked, this, &CPortsPage::EditAuthentication);
    connect(update, &QPushButton::clicked, this, &CPortsPage::Update);
    Reload();
}

void CPortsPage::Reload() {
    CPortSettings settings;
    settings.Load();
    smtpPort->setText(QString::number(settings.smtpPort));
    pop3Port->setText(QString::number(settings.pop3Port));
    webServerPort->setText(QString::number(settings.webServerPort));
    gatewayPort->setText(QString::number(settings.gatewayPort));
    switch (settings.method) {
        case CPortSettings::Method::Direct:
            directRelay->setChecked(true);
            break;
        case CPortSettings::Method::Smart:
            smartRelay->setChecked(true);
            break;
        case CPortSettings::Method::Authenticated:
            authenticationRelay->setChecked(true);
            break;
    }
    MethodChanged();
}

void CPortsPage::MethodChanged() {
    relayHost->setEnabled(directRelay->isChecked());
    authentication->setEnabled(authenticationRelay->isChecked());
    gatewayPort->setEnabled(!smartRelay->isChecked());
}

void CPortsPage::EditRelayHost() {
    CRelayHostDialog dialog(CRelayHostDialog::Kind::RelayHost, this);
    if (dialog.exec() != QDialog::Accepted) return;
    // The dialog stored the port too.
    CPortSettings stored;
    stored.Load();
    gatewayPort->setText(QString::number(stored.gatewayPort));
}

void CPortsPage::EditAuthentication() {
    CRelayHostDialog dialog(CRelayHostDialog::Kind::Authentication, this);
    dialog.exec();
}

void CPortsPage::Update() {
    // The relay host and the credentials are the dialogs' to change: the
    // page checks them as stored.
    CPortSettings settings;
    settings.Load();
    settings.smtpPort = PortOf(smtpPort);
    settings.pop3Port = PortOf(pop3Port);
    settings.webServerPort = PortOf(webServerPort);
    settings.gatewayPort = PortOf(gatewayPort);
    settings.method = smartRelay->isChecked()            ? CPortSettings::Method::Smart
                      : authenticationRelay->isChecked() ? CPortSettings::Method::Authenticated
                                                         : CPortSettings::Method::Direct;
    const bool smart = settings.method == CPortSettings::Method::Smart;
    const std::string problem = settings.Problem(!smart || DnsEntriesUsable());
    if (!problem.empty()) {
        CConsoleMessageBox::Show(this, QString::fromStdString(problem), QStringLiteral("Marlowin"),
                                 CConsoleMessageBox::Icon::Warning);
        return;
    }
    if (!settings.Save()) {
        CConsoleMessageBox::Show(this, CPortSettings::kNotWritten, QStringLiteral("Marlowin"),
                                 CConsoleMessageBox::Icon::Stop);
        Reload();
        return;
    }
    CConsoleMessageBox::Show(this, CPortSettings::kSaved, CPortSettings::kSavedTitle);
}
