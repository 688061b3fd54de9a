// CSchedulerPage: shows and saves the scheduler's state through CScheduleSettings.
#include "console/CSchedulerPage.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "console/CMultipleSchedulingDialog.h"
#include "cycle/CScheduleSettings.h"
#include "cycle/ScheduleCheck.h"

namespace {

constexpr const char* kDayCaptions[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
constexpr const char* kDayNames[7] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};

QLineEdit* NumberField(const char* name, int digits, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMaxLength(digits);
    field->setValidator(new QIntValidator(0, 9999, field));
    field->setMaximumWidth(60);
    return field;
}

std::string Text(const QLineEdit* field) {
    return field->text().toStdString();
}

}  // namespace

CSchedulerPage::CSchedulerPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);

    auto* start = new QGroupBox(QStringLiteral("Scheduler"), this);
    auto* startLayout = new QHBoxLayout(start);
    manual = new QRadioButton(QStringLiteral("&Manual"), start);
    manual->setObjectName("manual");
    automatic = new QRadioButton(QStringLiteral("&Automatic"), start);
    automatic->setObjectName("automatic");
    startLayout->addWidget(manual);
    startLayout->addWidget(automatic);
    startLayout->addStretch();
    layout->addWidget(start);

    auto* when = new QGroupBox(this);
    auto* grid = new QGridLayout(when);
    at = new QRadioButton(QStringLiteral("A&t"), when);
    at->setObjectName("at");
    hour = NumberField("hour", 2, when);
    minute = NumberField("minute", 4, when);
    grid->addWidget(at, 0, 0);
    grid->addWidget(hour, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral(":"), when), 0, 2);
    grid->addWidget(minute, 0, 3);
    auto* days = new QHBoxLayout;
    for (int d = 0; d < 7; ++d) {
        weekdays[d] = new QCheckBox(QString::fromLatin1(kDayCaptions[d]), when);
        weekdays[d]->setObjectName(kDayNames[d]);
        days->addWidget(weekdays[d]);
    }
    grid->addLayout(days, 1, 0, 1, 6);
    every = new QRadioButton(QStringLiteral("&Every"), when);
    every->setObjectName("every");
    interval = NumberField("interval", 4, when);
    grid->addWidget(every, 2, 0);
    grid->addWidget(interval, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Minutes"), when), 2, 2, 1, 2);
    complex = new QRadioButton(QStringLiteral("Complex"), when);
    complex->setObjectName("complex");
    auto* define = new QPushButton(QStringLiteral("Define Complex Schedule"), when);
    define->setObjectName("defineComplex");
    defineComplex = define;
    grid->addWidget(complex, 3, 0);
    grid->addWidget(define, 3, 1, 1, 4);
    grid->setColumnStretch(5, 1);
    layout->addWidget(when);

    // The mode is the last of the three choices clicked: one group.
    auto* modes = new QButtonGroup(this);
    modes->addButton(at);
    modes->addButton(every);
    modes->addButton(complex);

    auto* update = new QPushButton(QStringLiteral("&Update"), this);
    update->setObjectName("update");
    layout->addWidget(update, 0, Qt::AlignRight);
    layout->addStretch();

    for (QRadioButton* choice : {at, every, complex})
        connect(choice, &QRadioButton::toggled, this, &CSchedulerPage::EnableControls);
    connect(define, &QPushButton::clicked, this, &CSchedulerPage::DefineComplexSchedule);
    connect(update, &QPushButton::clicked, this, &CSchedulerPage::Update);
    Reload();
}

void CSchedulerPage::Reload() {
    const CScheduleSettings s = CScheduleSettings::Load(CScheduleSettings::DefaultPath());
    (s.enabled ? automatic : manual)->setChecked(true);
    switch (s.mode) {
        case CScheduleSettings::kAtTime:
            at->setChecked(true);
            break;
        case CScheduleSettings::kWeeklyTable:
            complex->setChecked(true);
            break;
        default:
            every->setChecked(true);
            break;
    }
    hour->setText(QString::number(s.hour));
    minute->setText(QString::number(s.minute));
    interval->setText(QString::number(s.interval));
    for (int d = 0; d < 7; ++d) weekdays[d]->setChecked(s.weekdays[static_cast<std::size_t>(d)] != 0);
    EnableControls();
}

void CSchedulerPage::EnableControls() {
    // The mode may be chosen while the scheduler is off; only its own
    // fields are open.
    hour->setEnabled(at->isChecked());
    minute->setEnabled(at->isChecked());
    for (QCheckBox* day : weekdays) day->setEnabled(at->isChecked());
    interval->setEnabled(every->isChecked());
    defineComplex->setEnabled(complex->isChecked());
}

void CSchedulerPage::DefineComplexSchedule() {
    CMultipleSchedulingDialog dialog(this);
    dialog.exec();
}

void CSchedulerPage::Update() {
    const std::string path = CScheduleSettings::DefaultPath();
    CScheduleSettings s = CScheduleSettings::Load(path);
    // The chosen mode's fields must be right; the others are kept as they
    // were when they do not read (in mode 2 the minute field counts ticks).
    const bool timed = at->isChecked();
    if (ScheduleCheck::CheckHour(Text(hour), s.hour) != ScheduleCheck::Outcome::Ok && timed) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the Hour from 0 to 23"));
        return;
    }
    if (ScheduleCheck::CheckMinute(Text(minute), s.minute) != ScheduleCheck::Outcome::Ok && timed) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the Minutes from 0 to 59"));
        return;
    }
    if (ScheduleCheck::CheckInterval(Text(interval), s.interval) != ScheduleCheck::Outcome::Ok && every->isChecked()) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the Interval from 1 to 3000 Minutes"));
        return;
    }
    s.enabled = automatic->isChecked() ? 1 : 0;
    s.atChosen = at->isChecked() ? 1 : 0;
    s.mode = at->isChecked()        ? CScheduleSettings::kAtTime
             : complex->isChecked() ? CScheduleSettings::kWeeklyTable
                                    : CScheduleSettings::kEveryMinutes;
    for (int d = 0; d < 7; ++d) s.weekdays[static_cast<std::size_t>(d)] = weekdays[d]->isChecked() ? 1 : 0;
    s.settingsChanged = 1;
    if (!s.Save(path)) {
        CConsoleMessageBox::Show(this, QStringLiteral("Schedule.stg could not be written"), QStringLiteral("Marlowin"),
                                 CConsoleMessageBox::Icon::Stop);
        Reload();
    }
}
