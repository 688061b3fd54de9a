// CForwardingPage: the user editor's "&Forwarding" page: the addresses every
// message of the selected account is sent on to, each through the local SMTP
// server ("Use Local SMTP") or the outbound queue, and whether the account
// keeps a copy. Rows are written by the engine calls `velmora account
// forward` makes.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeWidget;

class CForwardingPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CForwardingPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Add();
    void Delete();
    void RetainChanged(bool retain);

    QLabel* title;
    QTreeWidget* list;
    QLineEdit* user;
    QLineEdit* server;
    QCheckBox* useLocalSmtp;
    QCheckBox* retainCopy;
};
