// CRelayRangesPage: the "IP Firewall Settings" page: the client address
// ranges that may relay mail through the SMTP server, and the switch that
// limits relaying to them.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

class CRelayRangesPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CRelayRangesPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void AddRange();
    void DeleteRange();
    void BlockingToggled(bool on);
    void EnableControls(bool on);

    QLineEdit* startIp;
    QLineEdit* endIp;
    QPushButton* addRange;
    QPushButton* deleteRange;
    QCheckBox* ipBlocking;
    QTreeWidget* ranges;
};
