// CSchedulerPage: the "Scheduler" page: whether send and receive cycles start
// by themselves, and when: at a fixed time on chosen weekdays, every so many
// minutes, or by the weekly table the "Multiple Scheduling" dialog edits.
// "&Update" writes "Schedule.stg"; a running server reads it at its next minute.
#pragma once

#include "console/CConsolePage.h"

class QCheckBox;
class QLineEdit;
class QRadioButton;

class CSchedulerPage : public CConsolePage {
    Q_OBJECT
public:
    explicit CSchedulerPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

private:
    void Update();
    void DefineComplexSchedule();
    void EnableControls();

    QRadioButton* manual;
    QRadioButton* automatic;
    QRadioButton* at;
    QRadioButton* every;
    QRadioButton* complex;
    QLineEdit* hour;
    QLineEdit* minute;
    QLineEdit* interval;
    QCheckBox* weekdays[7];  // Sunday first, as the file keeps them
    QWidget* defineComplex;
};
