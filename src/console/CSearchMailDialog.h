// CSearchMailDialog: the console's "Search Mail" dialog. It finds logged
// messages by sender, recipient, subject, date range, direction and body
// words, lists them, and shows a chosen one from its day's log file.
//
// The search runs on the engine's worker thread; its result is posted back
// to this dialog's thread, so the list is filled here and the dialog stays
// usable meanwhile. "&Stop" asks the worker to end early.
#pragma once

#include <QDialog>
#include <vector>

#include "console/ConsoleContext.h"
#include "maillog/CMailSearchWorker.h"
#include "maillog/MailSearchForm.h"
#include "maillog/MailSearchRecord.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

class CSearchMailDialog : public QDialog {
    Q_OBJECT
public:
    explicit CSearchMailDialog(ConsoleContext& context, QWidget* parent = nullptr);
    // Stops a running search and waits for its worker.
    ~CSearchMailDialog() override;

    // The form as it stands.
    MailSearchForm Form() const;
    // "Clea&r Form": every field as when the dialog opened, both dates today.
    void ClearForm();
    // Whether a search is running (the button reads "&Stop").
    bool Searching() const { return searching; }
    // The message window opened last; null until one was.
    QDialog* Viewer() const { return viewer; }

private:
    void OnSearch();
    void OnSearchDone(std::vector<MailSearchRecord> kept);
    void OnPreferences();
    void ShowMessage(QTreeWidgetItem* item);
    void UpdateControls();

    ConsoleContext& context;
    CMailSearchWorker worker;
    std::vector<MailSearchRecord> records;
    bool searching = false;

    QLineEdit* fromEdit;
    QCheckBox* fromJoin;
    QLineEdit* toEdit;
    QCheckBox* toJoin;
    QLineEdit* subjectEdit;
    QCheckBox* subjectJoin;
    QLineEdit* containingEdit;
    QRadioButton* anyWord;
    QRadioButton* allWords;
    QCheckBox* duringCheck;
    QDateEdit* startDate;
    QDateEdit* endDate;
    QCheckBox* inCheck;
    QComboBox* inList;
    QPushButton* searchButton;
    QProgressBar* busy;
    QTreeWidget* results;
    QLabel* status;
    QDialog* viewer = nullptr;
};
