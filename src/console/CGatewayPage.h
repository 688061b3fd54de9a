// CGatewayPage: the server properties' "Gateway" page: when the Netware
// gateway collects the ".cnm" files its clients leave in the outbox
// directory (at a time of day, or every N minutes), and that directory.
// Written by the same engine call as `velmora gateway set`.
#pragma once

#include "console/CConsolePage.h"

class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

class CGatewayPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CGatewayPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Browse();
    void Update();

    QRadioButton* at;
    QRadioButton* every;
    QSpinBox* hour;
    QSpinBox* minutes;
    QSpinBox* everyMinutes;
    QLineEdit* outbox;
    QLabel* message;
};
