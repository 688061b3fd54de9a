// CPortsPage: shows the Ports settings and saves them through CPortSettings.
#include "console/CPortsPage.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/CPortSettings.h"
#include "smtp/CMxResolver.h"

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

// Smart delivery asks the name servers itself: each entry must name one.
bool DnsEntriesUsable() {
    for (const std::string& entry : CPortSettings::DnsEntries()) {
        std::string host;
        int port = 0;
        if (!CMxResolver::ParseNameServer(entry, host, port)) return false;
    }
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
    deliveryForm->addRow(directRelay);
    deliveryForm->addRow(smartRelay);
    deliveryForm->addRow(authenticationRelay);
    gateway = new QLineEdit(delivery);
    gateway->setObjectName("gateway");
    gatewayPort = PortField("gatewayPort", delivery);
    smtpUser = new QLineEdit(delivery);
    smtpUser->setObjectName("smtpUser");
    smtpPassword = new QLineEdit(delivery);
    smtpPassword->setObjectName("smtpPassword");
    smtpPassword->setEchoMode(QLineEdit::Password);
    deliveryForm->addRow(QStringLiteral("Remote Gateway Server :"), gateway);
    deliveryForm->addRow(QStringLiteral("Remote Port :"), gatewayPort);
    deliveryForm->addRow(QStringLiteral("SMTP UserId :"), smtpUser);
    deliveryForm->addRow(QStringLiteral("SMTP Password :"), smtpPassword);
    layout->addWidget(delivery);

    auto* update = new QPushButton(QStringLiteral("&Update"), this);
    update->setObjectName("update");
    layout->addWidget(update, 0, Qt::AlignRight);
    layout->addStretch();

    for (QRadioButton* choice : {directRelay, smartRelay, authenticationRelay})
        connect(choice, &QRadioButton::toggled, this, &CPortsPage::MethodChanged);
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
    gateway->setText(QString::fromStdString(settings.gateway));
    smtpUser->setText(QString::fromStdString(settings.smtpUser));
    smtpPassword->setText(QString::fromStdString(settings.smtpPassword));
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
    const bool relay = !smartRelay->isChecked();
    gateway->setEnabled(relay);
    gatewayPort->setEnabled(relay);
    smtpUser->setEnabled(authenticationRelay->isChecked());
    smtpPassword->setEnabled(authenticationRelay->isChecked());
}

void CPortsPage::Update() {
    CPortSettings settings;
    settings.smtpPort = PortOf(smtpPort);
    settings.pop3Port = PortOf(pop3Port);
    settings.webServerPort = PortOf(webServerPort);
    settings.gatewayPort = PortOf(gatewayPort);
    settings.gateway = gateway->text().trimmed().toStdString();
    settings.smtpUser = smtpUser->text().toStdString();
    settings.smtpPassword = smtpPassword->text().toStdString();
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
        CConsoleMessageBox::Show(this, QStringLiteral("The Port Settings could not be written to the settings file"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        Reload();
        return;
    }
    CConsoleMessageBox::Show(this, CPortSettings::kSaved, CPortSettings::kSavedTitle);
}
