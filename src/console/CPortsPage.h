// CPortsPage: the port settings page: the ports of the server modules and
// how outbound mail leaves: straight to each domain's exchanger, through
// the relay host, or through it with SMTP authentication. The relay host
// and the credentials are named in the page's two small dialogs.
#pragma once

#include "console/CConsolePage.h"

class QLineEdit;
class QPushButton;
class QRadioButton;

class CPortsPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CPortsPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Update();
    void MethodChanged();
    void EditRelayHost();
    void EditAuthentication();

    QLineEdit* smtpPort;
    QLineEdit* pop3Port;
    QLineEdit* webServerPort;
    QRadioButton* directRelay;
    QRadioButton* smartRelay;
    QRadioButton* authenticationRelay;
    QLineEdit* gatewayPort;
    QPushButton* relayHost;
    QPushButton* authentication;
};
