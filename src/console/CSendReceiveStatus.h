// CSendReceiveStatus: the cycle's status window "Tessal - Send & Receive
// Status": the step text, the progress bar with its text, the list of
// status lines (newest first, emptied when it holds more than 100) and
// "&Stop". It shows the cycle's status as the engine keeps it; the main
// window refreshes it on its own thread whenever the cycle says it changed.
#pragma once

#include <QDialog>

#include "cycle/CCycleStatus.h"

class CCycleControl;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

class CSendReceiveStatus : public QDialog {
    Q_OBJECT
public:
    explicit CSendReceiveStatus(CCycleControl& cycle, QWidget* parent = nullptr);
    // Shows what the cycle holds now.
    void Refresh(const CCycleStatus::Snapshot& status);

private:
    void Stop();

    CCycleControl& cycle;
    QLabel* step;
    QProgressBar* progress;
    QLabel* progressText;
    QListWidget* list;
    QPushButton* stop;
};
