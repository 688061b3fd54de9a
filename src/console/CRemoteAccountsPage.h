// CRemoteAccountsPage: the remote server accounts page: whole remote POP3
// mailboxes a send and receive cycle fetches, each owned by a local account,
// whose mail goes to the owner or is shared out by recipient and alias.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLineEdit;
class QTreeWidget;

class CRemoteAccountsPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CRemoteAccountsPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void RowChosen();
    // The refusal of the fields, or empty when they may be stored.
    QString Problem(bool adding);
    void Add();
    void Update();
    void Delete();

    QTreeWidget* accounts;
    QLineEdit* name;
    QLineEdit* owner;
    QLineEdit* server;
    QLineEdit* port;
    QLineEdit* remoteUser;
    QLineEdit* password;
    QCheckBox* leaveOnServer;
    QCheckBox* alias;
    QLineEdit* aliasAddress;
};
