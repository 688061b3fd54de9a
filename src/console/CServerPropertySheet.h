// CServerPropertySheet: the server properties: one tab per server page of
// the console, in the order the page list gives.
#pragma once

#include <QWidget>

#include "console/ConsoleContext.h"

class QTabWidget;

class CServerPropertySheet : public QWidget {
    Q_OBJECT
public:
    explicit CServerPropertySheet(ConsoleContext& context, QWidget* parent = nullptr);
    // Brings the tab with this caption forward (the PORTS command opens
    // "Ports"); false when the sheet has no such page.
    bool ShowPage(const QString& title);
    // Every page reads its data again.
    void Reload();

private:
    QTabWidget* pages;
};
