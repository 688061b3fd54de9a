// CMailMonitorPage: the "MailMonitor Properties" page: which administrator
// receives a copy of the mail sent or received by which addresses. Watches
// are added and deleted through CMailMonitor, the table's only writer.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QComboBox;
class QListWidget;
class QTreeWidget;

class CMailMonitorPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CMailMonitorPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Add();
    void Delete();

    QTreeWidget* list;
    QComboBox* watcher;
    QCheckBox* send;
    QCheckBox* receive;
    QListWidget* addresses;
};
