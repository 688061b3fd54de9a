// CMultipleSchedulingDialog: the weekly table, one row per day and entry,
// read from and written to "Schedule.txt" through CScheduleTable.
#include "console/CMultipleSchedulingDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "cycle/CScheduleTable.h"
#include "cycle/ScheduleCheck.h"

namespace {

// Monday first, as the table counts its days.
constexpr const char* kDayChoices[10] = {"Monday",   "Tuesday", "Wednesday", "Thursday", "Friday",
                                         "Saturday", "Sunday",  "Week Days", "Week End", "All Days"};
constexpr const char* kDayShort[7] = {"Mon , ", "Tue , ", "Wed , ", "Thu , ", "Fri , ", "Sat , ", "Sun , "};

std::function<QString()> scriptedPicker;

CScheduleTable::Days DaysOf(int choice) {
    CScheduleTable::Days chosen;
    if (choice >= 0 && choice < 7) chosen.set(static_cast<std::size_t>(choice));
    if (choice == 7) chosen = CScheduleTable::Days("0011111");  // bit 0 is Monday
    if (choice == 8) chosen = CScheduleTable::Days("1100000");
    if (choice == 9) chosen.set();
    return chosen;
}

QLineEdit* TimeField(const char* name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMaxLength(2);
    field->setValidator(new QIntValidator(0, 99, field));
    field->setMaximumWidth(40);
    return field;
}

}  // namespace

void CMultipleSchedulingDialog::ScriptFilePicker(std::function<QString()> picker) {
    scriptedPicker = std::move(picker);
}

CMultipleSchedulingDialog::CMultipleSchedulingDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Multiple Scheduling"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    days = new QComboBox(this);
    days->setObjectName("days");
    for (const char* choice : kDayChoices) days->addItem(QString::fromLatin1(choice));
    form->addRow(QStringLiteral("Days"), days);

    auto* time = new QHBoxLayout;
    hour = TimeField("hour", this);
    minute = TimeField("minute", this);
    time->addWidget(hour);
    time->addWidget(new QLabel(QStringLiteral(":"), this));
    time->addWidget(minute);
    time->addStretch();
    form->addRow(QStringLiteral("At"), time);
    layout->addLayout(form);

    sendReceive = new QCheckBox(QStringLiteral("Do Send And Receive At This Time"), this);
    sendReceive->setObjectName("sendReceive");
    executeEvent = new QCheckBox(QStringLiteral("Execute Event At This Time"), this);
    executeEvent->setObjectName("executeEvent");
    layout->addWidget(sendReceive);
    layout->addWidget(executeEvent);

    auto* eventRow = new QHBoxLayout;
    eventRow->addWidget(new QLabel(QStringLiteral("Event And Arguments :"), this));
    event = new QLineEdit(this);
    event->setObjectName("event");
    eventRow->addWidget(event, 1);
    auto* select = new QPushButton(QStringLiteral("Select"), this);
    select->setObjectName("select");
    eventRow->addWidget(select);
    layout->addLayout(eventRow);

    schedules = new QTreeWidget(this);
    schedules->setObjectName("schedules");
    schedules->setRootIsDecorated(false);
    schedules->setHeaderLabels({QStringLiteral("Days"), QStringLiteral("At"), QStringLiteral("Send And Receive"),
                                QStringLiteral("Event And Arguments")});
    layout->addWidget(schedules);

    auto* buttons = new QHBoxLayout;
    const std::pair<const char*, const char*> captions[] = {
        {"&Add", "add"}, {"&Update", "update"}, {"&Delete", "delete"}, {"&Close", "close"}};
    QPushButton* made[4];
    int i = 0;
    for (const auto& [caption, name] : captions) {
        made[i] = new QPushButton(QString::fromLatin1(caption), this);
        made[i]->setObjectName(name);
        made[i]->setAutoDefault(false);
        buttons->addWidget(made[i++]);
    }
    layout->addLayout(buttons);

    hour->setText(QStringLiteral("0"));
    minute->setText(QStringLiteral("0"));
    connect(select, &QPushButton::clicked, this, &CMultipleSchedulingDialog::SelectFile);
    connect(made[0], &QPushButton::clicked, this, &CMultipleSchedulingDialog::Add);
    connect(made[1], &QPushButton::clicked, this, &CMultipleSchedulingDialog::Update);
    connect(made[2], &QPushButton::clicked, this, &CMultipleSchedulingDialog::Delete);
    connect(made[3], &QPushButton::clicked, this, &QDialog::accept);
    connect(schedules, &QTreeWidget::currentItemChanged, this, &CMultipleSchedulingDialog::RowChosen);
    Reload();
}

void CMultipleSchedulingDialog::Reload() {
    CScheduleTable table;
    table.Load(CScheduleTable::DefaultPath());
    schedules->clear();
    for (std::size_t d = 0; d < 7; ++d) {
        for (const CScheduleTable::Entry& e : table.days[d]) {
            auto* row = new QTreeWidgetItem(schedules);
            row->setText(0, QString::fromLatin1(kDayShort[d]));
            row->setText(1, QString::asprintf("%02ld:%02ld", e.hour, e.minute));
            row->setText(2, e.send ? QStringLiteral("Yes") : QStringLiteral("No"));
            row->setText(3, e.event ? QString::fromStdString(e.command) : QString());
            row->setData(0, Qt::UserRole, static_cast<int>(d));
            row->setData(1, Qt::UserRole, static_cast<int>(e.hour));
            row->setData(2, Qt::UserRole, static_cast<int>(e.minute));
            row->setData(3, Qt::UserRole, e.event);
        }
    }
}

void CMultipleSchedulingDialog::RowChosen() {
    const QTreeWidgetItem* row = schedules->currentItem();
    if (!row) return;
    days->setCurrentIndex(row->data(0, Qt::UserRole).toInt());
    hour->setText(QString::number(row->data(1, Qt::UserRole).toInt()));
    minute->setText(QString::number(row->data(2, Qt::UserRole).toInt()));
    sendReceive->setChecked(row->text(2) == QStringLiteral("Yes"));
    executeEvent->setChecked(row->data(3, Qt::UserRole).toBool());
    event->setText(row->text(3));
}

void CMultipleSchedulingDialog::SelectFile() {
    const QString file = scriptedPicker ? scriptedPicker()
                                        : QFileDialog::getOpenFileName(
                                              this, QStringLiteral("Select"), QString(),
                                              // Programs here rarely carry those endings: every file may be picked too.
                                              QStringLiteral("Executable Files (*.exe;*.com;*.dll;*.ocx;*.bat);;"
                                                             "All Files (*)"));
    if (!file.isEmpty()) event->setText(file);
}

bool CMultipleSchedulingDialog::AddTo(CScheduleTable& table) {
    std::uint32_t h = 0, m = 0;
    if (ScheduleCheck::CheckHour(hour->text().toStdString(), h) != ScheduleCheck::Outcome::Ok ||
        ScheduleCheck::CheckMinute(minute->text().toStdString(), m) != ScheduleCheck::Outcome::Ok) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter a Time from 0:00 to 23:59"));
        return false;
    }
    const ScheduleCheck::Outcome outcome =
        ScheduleCheck::CheckCommand(event->text().toStdString(), executeEvent->isChecked());
    if (outcome == ScheduleCheck::Outcome::NoCommand) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please Enter the Event And Arguments"));
        return false;
    }
    if (outcome == ScheduleCheck::Outcome::CommandTooLong) {
        CConsoleMessageBox::Show(this, QStringLiteral("The Event And Arguments may have at most 1024 characters"));
        return false;
    }
    if (outcome == ScheduleCheck::Outcome::ControlCharacter) {
        CConsoleMessageBox::Show(this, QStringLiteral("The Event And Arguments may not hold control characters"));
        return false;
    }
    if (!sendReceive->isChecked() && !executeEvent->isChecked()) {
        CConsoleMessageBox::Show(this, QStringLiteral("Please choose Send And Receive or an Event At This Time"));
        return false;
    }
    const CScheduleTable::Days chosen = DaysOf(days->currentIndex());
    if (table.Exists(chosen, h, m)) {
        CConsoleMessageBox::Show(this, CScheduleTable::kExistsText, CScheduleTable::kExistsTitle);
        return false;
    }
    const bool run = executeEvent->isChecked();
    table.Add(chosen, {h, m, sendReceive->isChecked(), run, run ? event->text().toStdString() : std::string()});
    return true;
}

void CMultipleSchedulingDialog::Save(const CScheduleTable& table) {
    if (!table.Save(CScheduleTable::DefaultPath()))
        CConsoleMessageBox::Show(this, QStringLiteral("Schedule.txt could not be written"), QStringLiteral("Marlowin"),
                                 CConsoleMessageBox::Icon::Stop);
    Reload();
}

bool CMultipleSchedulingDialog::LoadTable(CScheduleTable& table) {
    const std::string path = CScheduleTable::DefaultPath();
    // A file that is there but cannot be read would be written back empty.
    if (table.Load(path) || !QFileInfo::exists(QString::fromStdString(path))) return true;
    CConsoleMessageBox::Show(this, QStringLiteral("Schedule.txt could not be read"), QStringLiteral("Marlowin"),
                             CConsoleMessageBox::Icon::Stop);
    return false;
}

void CMultipleSchedulingDialog::Add() {
    CScheduleTable table;
    if (LoadTable(table) && AddTo(table)) Save(table);
}

bool CMultipleSchedulingDialog::LoadWithoutSelected(CScheduleTable& table) {
    const QTreeWidgetItem* row = schedules->currentItem();
    if (!row || !LoadTable(table)) return false;
    CScheduleTable::Days day;
    day.set(static_cast<std::size_t>(row->data(0, Qt::UserRole).toInt()));
    table.Remove(day, row->data(1, Qt::UserRole).toInt(), row->data(2, Qt::UserRole).toInt());
    return true;
}

void CMultipleSchedulingDialog::Update() {
    // The old entry goes first, so that it is no clash with its own change.
    CScheduleTable table;
    if (LoadWithoutSelected(table) && AddTo(table)) Save(table);
}

void CMultipleSchedulingDialog::Delete() {
    CScheduleTable table;
    if (LoadWithoutSelected(table)) Save(table);
}
