// CRelayHostDialog: shows and stores the relay host through CPortSettings.
#include "console/CRelayHostDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/CPortSettings.h"

CRelayHostDialog::CRelayHostDialog(Kind kind, QWidget* parent) : QDialog(parent), kind(kind) {
    const bool relay = kind == Kind::RelayHost;
    setWindowTitle(relay ? QStringLiteral("Remote Gateway Server") : QStringLiteral("SMTP Authentication"));
    CPortSettings stored;
    stored.Load();
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    server = new QLineEdit(QString::fromStdString(stored.gateway), this);
    server->setObjectName("server");
    if (relay) {
        port = new QLineEdit(QString::number(stored.gatewayPort), this);
        port->setObjectName("port");
        port->setMaxLength(5);
        port->setValidator(new QIntValidator(0, 99999, port));
        form->addRow(QStringLiteral("Remote Gateway Server :"), server);
        form->addRow(QStringLiteral("Remote Port :"), port);
    } else {
        user = new QLineEdit(QString::fromStdString(stored.smtpUser), this);
        user->setObjectName("user");
        password = new QLineEdit(QString::fromStdString(stored.smtpPassword), this);
        password->setObjectName("password");
        password->setEchoMode(QLineEdit::Password);
        form->addRow(QStringLiteral("SMTP Server :"), server);
        form->addRow(QStringLiteral("SMTP UserId :"), user);
        form->addRow(QStringLiteral("SMTP Password :"), password);
    }
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CRelayHostDialog::Accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool CRelayHostDialog::Store() {
    const std::string host = server->text().trimmed().toStdString();
    bool ok = false;
    const std::string problem =
        kind == Kind::RelayHost
            ? CPortSettings::SaveRelayHost(host, port->text().toUInt(&ok))
            : CPortSettings::SaveAuthentication(host, user->text().toStdString(), password->text().toStdString());
    if (problem.empty()) return true;
    CConsoleMessageBox::Show(
        this, QString::fromStdString(problem), QStringLiteral("Marlowin"),
        problem == CPortSettings::kNotWritten ? CConsoleMessageBox::Icon::Stop : CConsoleMessageBox::Icon::Warning);
    return false;
}

void CRelayHostDialog::Accept() {
    if (Store()) accept();
}
