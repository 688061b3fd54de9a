// CConsolePage: one page of the console (a tab of the user editor or of the
// server properties). The window that hosts a page knows nothing of what it
// edits: it only tells the page which account is selected and when to read
// its data again.
#pragma once

#include <QWidget>
#include <string>

#include "console/ConsoleContext.h"

class QTreeWidget;
class QTreeWidgetItem;

class CConsolePage : public QWidget {
    Q_OBJECT
public:
    CConsolePage(ConsoleContext& context, QWidget* parent = nullptr);

    // The account the user editor has selected (empty: none). Pages that
    // edit one account's settings follow it; the others ignore it.
    virtual void SetUser(const std::string& userName);
    // Reads what the page shows again (the host calls it when it shows the page).
    virtual void Reload();

protected:
    // The selected account's id; false after a message box when it is not
    // found or the accounts cannot be read.
    bool AccountId(long& id);
    // The list's current row; null after a message box asking to select one.
    QTreeWidgetItem* SelectedRow(QTreeWidget* list, const char* ask);

    ConsoleContext& context;
    std::string userName;
};
