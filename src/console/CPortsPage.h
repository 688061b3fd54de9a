// CPortsPage: the port settings page: the ports of the server modules, how
// outbound mail leaves (straight to each domain's exchanger, through the
// relay host, or through it with SMTP authentication) and the relay host's
// address, port and credentials.
#pragma once

#include "console/CConsolePage.h"

class QLineEdit;
class QRadioButton;

class CPortsPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CPortsPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Update();
    void MethodChanged();

    QLineEdit* smtpPort;
    QLineEdit* pop3Port;
    QLineEdit* webServerPort;
    QRadioButton* directRelay;
    QRadioButton* smartRelay;
    QRadioButton* authenticationRelay;
    QLineEdit* gateway;
    QLineEdit* gatewayPort;
    QLineEdit* smtpUser;
    QLineEdit* smtpPassword;
};
