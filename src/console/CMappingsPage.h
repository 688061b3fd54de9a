// CMappingsPage: the user editor's "&Mappings" page: the remote POP3
// mailboxes whose mail each send and receive pass fetches into the selected
// account. Adds, deletes, enables and disables them through the same engine
// class as `velmora popaccount`, so a row looks the same whoever made it.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;
class QTreeWidget;

class CMappingsPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CMappingsPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Add();
    void Delete();
    void ToggleEnabled();
    // The selected account's id; none (after saying why) when it cannot be read.
    bool AccountId(long& id);

    QTreeWidget* list;
    QLineEdit* server;
    QSpinBox* port;
    QLineEdit* remoteUser;
    QLineEdit* password;
    QCheckBox* leaveOnServer;
};
