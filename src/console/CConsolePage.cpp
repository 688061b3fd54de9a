// CConsolePage: the common part of every console page.
#include "console/CConsolePage.h"

#include <QTreeWidget>

#include "foundation/CAccountRows.h"
#include "console/CConsoleMessageBox.h"
#include "foundation/CMailDatabase.h"

CConsolePage::CConsolePage(ConsoleContext& context, QWidget* parent) : QWidget(parent), context(context) {}

void CConsolePage::SetUser(const std::string& name) {
    userName = name;
    Reload();
}

void CConsolePage::Reload() {}

bool CConsolePage::AccountId(long& id) {
    bool failed = false;
    const std::optional<long> found = CAccountRows::AccountIdByName(context.Connection(), userName, &failed);
    if (!found) {
        CConsoleMessageBox::Show(this, failed ? "The accounts could not be read" : "No such User");
        return false;
    }
    id = *found;
    return true;
}

QTreeWidgetItem* CConsolePage::SelectedRow(QTreeWidget* list, const char* ask) {
    QTreeWidgetItem* item = list->currentItem();
    if (!item) CConsoleMessageBox::Show(this, ask);
    return item;
}
