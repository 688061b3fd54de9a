// CNetwarePage: the user editor's "&Netware" page ("Netware Configuration"):
// the directory a Netware mail client reads the selected account's mail
// from, the client user's Internet address, and whether the mailbox keeps a
// copy. Saved through the same engine call as `velmora account netware`.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLabel;
class QLineEdit;

class CNetwarePage : public CConsolePage {
    Q_OBJECT
public:
    explicit CNetwarePage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Browse();
    void Save();

    QLabel* title;
    QLineEdit* directory;
    QLineEdit* address;
    QCheckBox* leaveCopy;
    QLabel* message;
};
