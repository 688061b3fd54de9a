// CConnectionPage: the "Internet Connection Details" page: whether the
// office is always connected or dials before each cycle, which phone-book
// entry with what credentials and retries, and the manual "Connect" and
// "Hangup". "Update" writes "Connect.stg". Dialing and hanging up run off
// the GUI thread; their news is posted back to the page.
#pragma once

#include <memory>
#include <thread>

#include "console/CConsolePage.h"

class CDialConnection;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

class CConnectionPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CConnectionPage(ConsoleContext& context, QWidget* parent = nullptr);
    ~CConnectionPage() override;
    void Reload() override;

    // The status line's text (what the dial last reported).
    QString Status() const;

private:
    void Update();
    void Connect();
    void Hangup();
    void MethodChanged();
    void ShowStatus(const QString& text);
    void DialEnded();
    void RedialIfDue();
    void WaitForWorker();

    QRadioButton* lan;
    QRadioButton* dialUp;
    QComboBox* connectionName;
    QLineEdit* retries;
    QLineEdit* userName;
    QLineEdit* password;
    QLineEdit* interval;
    QPushButton* connectButton;
    QPushButton* hangupButton;
    QLabel* status;
    QTimer* redial;
    std::unique_ptr<CDialConnection> dial;
    std::thread worker;  // a hang-up in progress
};
