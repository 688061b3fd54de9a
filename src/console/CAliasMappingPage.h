// CAliasMappingPage: the alias names of the selected account: mail that its
// remote whole-domain mailboxes fetch for an alias goes to the local user the
// alias names. Rows change through CAliasMapping, as with `velmora alias`.
#pragma once

#include "console/CConsolePage.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QTreeWidget;

class CAliasMappingPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CAliasMappingPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Add();
    void Delete();

    QTreeWidget* list;
    QComboBox* user;
    QLineEdit* alias;
    QLabel* message;
};
