// CMultipleSchedulingDialog: the "Multiple Scheduling" dialog: edits the
// weekly table of the complex schedule (on which days, at what time, a send
// and receive and/or a command) and writes it back to "Schedule.txt".
#pragma once

#include <QDialog>
#include <functional>

class CScheduleTable;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QTreeWidget;

class CMultipleSchedulingDialog : public QDialog {
    Q_OBJECT
public:
    explicit CMultipleSchedulingDialog(QWidget* parent = nullptr);

    // For tests: answers the "Select" file picker instead of a person.
    static void ScriptFilePicker(std::function<QString()> picker);

private:
    void Reload();
    void RowChosen();
    void SelectFile();
    // Checks the controls and adds their entry to table; false after a message.
    bool LoadTable(CScheduleTable& table);
    bool AddTo(CScheduleTable& table);
    // The table without the selected row's entry; false when no row is
    // selected or the table could not be read (after a message).
    bool LoadWithoutSelected(CScheduleTable& table);
    // Writes the table (one message when it cannot) and shows the file again.
    void Save(const CScheduleTable& table);
    void Add();
    void Update();
    void Delete();

    QComboBox* days;
    QLineEdit* hour;
    QLineEdit* minute;
    QCheckBox* sendReceive;
    QCheckBox* executeEvent;
    QLineEdit* event;
    QTreeWidget* schedules;
};
