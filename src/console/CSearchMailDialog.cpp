// CSearchMailDialog: the form's controls and their rules, the hand-over to
// the worker and back, and the message viewer.
#include "console/CSearchMailDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/CMailDatabase.h"
#include "maillog/CMailLog.h"
#include "maillog/CMailLogViewer.h"

namespace {

constexpr int kRecordRole = Qt::UserRole;

QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Bytes(const QString& text) {
    return text.toUtf8().toStdString();
}

MailSearchForm::Date DateOf(const QDate& date) {
    return {date.day(), date.month(), date.year()};
}

// A joiner check: "And" when checked, "Or" when not.
QCheckBox* JoinCheck(QWidget* parent, const QString& name) {
    auto* check = new QCheckBox(QStringLiteral("Or"), parent);
    check->setObjectName(name);
    QObject::connect(check, &QCheckBox::toggled, check,
                     [check](bool on) { check->setText(on ? QStringLiteral("And") : QStringLiteral("Or")); });
    return check;
}

QLineEdit* Field(QWidget* parent, const QString& name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

// A date field whose every spin step moves the date by one day, across the
// ends of months and years (a plain date edit steps the section under the
// cursor and stops at a month's last day).
class DayStepDateEdit : public QDateEdit {
public:
    using QDateEdit::QDateEdit;
    void stepBy(int steps) override { setDate(date().addDays(steps)); }

protected:
    StepEnabled stepEnabled() const override {
        StepEnabled enabled = StepNone;
        if (isReadOnly()) return enabled;
        if (date() > minimumDate()) enabled |= StepDownEnabled;
        if (date() < maximumDate()) enabled |= StepUpEnabled;
        return enabled;
    }
};

QDateEdit* DateField(QWidget* parent, const QString& name) {
    auto* edit = new DayStepDateEdit(parent);
    edit->setObjectName(name);
    edit->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    return edit;
}

}  // namespace

CSearchMailDialog::CSearchMailDialog(ConsoleContext& context, QWidget* parent) : QDialog(parent), context(context) {
    setWindowTitle(QStringLiteral("Search Mail"));
    auto* form = new QGridLayout;
    fromEdit = Field(this, QStringLiteral("from"));
    fromJoin = JoinCheck(this, QStringLiteral("fromJoin"));
    toEdit = Field(this, QStringLiteral("to"));
    toJoin = JoinCheck(this, QStringLiteral("toJoin"));
    subjectEdit = Field(this, QStringLiteral("subject"));
    subjectJoin = JoinCheck(this, QStringLiteral("subjectJoin"));
    containingEdit = Field(this, QStringLiteral("containing"));
    form->addWidget(new QLabel(QStringLiteral("From :"), this), 0, 0);
    form->addWidget(fromEdit, 0, 1);
    form->addWidget(fromJoin, 0, 2);
    form->addWidget(new QLabel(QStringLiteral("To :"), this), 1, 0);
    form->addWidget(toEdit, 1, 1);
    form->addWidget(toJoin, 1, 2);
    form->addWidget(new QLabel(QStringLiteral("Subject :"), this), 2, 0);
    form->addWidget(subjectEdit, 2, 1);
    form->addWidget(subjectJoin, 2, 2);
    form->addWidget(new QLabel(QStringLiteral("Containing"), this), 3, 0);
    form->addWidget(containingEdit, 3, 1);
    anyWord = new QRadioButton(QStringLiteral("Any Word"), this);
    anyWord->setObjectName(QStringLiteral("anyWord"));
    allWords = new QRadioButton(QStringLiteral("All Words"), this);
    allWords->setObjectName(QStringLiteral("allWords"));
    auto* words = new QHBoxLayout;
    words->addWidget(anyWord);
    words->addWidget(allWords);
    form->addLayout(words, 4, 1);

    duringCheck = new QCheckBox(QStringLiteral("During"), this);
    duringCheck->setObjectName(QStringLiteral("during"));
    startDate = DateField(this, QStringLiteral("startDate"));
    endDate = DateField(this, QStringLiteral("endDate"));
    auto* dates = new QHBoxLayout;
    dates->addWidget(new QLabel(QStringLiteral("Start Date"), this));
    dates->addWidget(startDate);
    dates->addWidget(new QLabel(QStringLiteral("End Date"), this));
    dates->addWidget(endDate);
    form->addWidget(duringCheck, 5, 0);
    form->addLayout(dates, 5, 1);
    inCheck = new QCheckBox(QStringLiteral("In"), this);
    inCheck->setObjectName(QStringLiteral("in"));
    inList = new QComboBox(this);
    inList->setObjectName(QStringLiteral("inList"));
    inList->addItems({QStringLiteral("Receive Items"), QStringLiteral("Sent Items")});
    form->addWidget(inCheck, 6, 0);
    form->addWidget(inList, 6, 1);

    searchButton = new QPushButton(QStringLiteral("&Search"), this);
    searchButton->setObjectName(QStringLiteral("search"));
    searchButton->setDefault(true);
    auto* clear = new QPushButton(QStringLiteral("Clea&r Form"), this);
    clear->setObjectName(QStringLiteral("clear"));
    auto* preferences = new QPushButton(QStringLiteral("&Preferences"), this);
    // Kept for the layout the administrators know; it does nothing.
    auto* emptyLog = new QPushButton(QStringLiteral("Empty Log"), this);
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    // The busy indicator stands where the search animation ran.
    busy = new QProgressBar(this);
    busy->setObjectName(QStringLiteral("busy"));
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->hide();
    auto* buttons = new QVBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{searchButton, clear, preferences, emptyLog, close})
        buttons->addWidget(w);
    buttons->addWidget(busy);
    buttons->addStretch();

    results = new QTreeWidget(this);
    results->setObjectName(QStringLiteral("results"));
    results->setRootIsDecorated(false);
    results->setHeaderLabels({QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Subject"),
                              QStringLiteral("Date"), QStringLiteral("Size (In Bytes)")});
    status = new QLabel(this);
    status->setObjectName(QStringLiteral("status"));

    auto* top = new QHBoxLayout;
    top->addLayout(form, 1);
    top->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(status);
    layout->addWidget(results, 1);

    connect(searchButton, &QPushButton::clicked, this, &CSearchMailDialog::OnSearch);
    connect(clear, &QPushButton::clicked, this, &CSearchMailDialog::ClearForm);
    connect(preferences, &QPushButton::clicked, this, &CSearchMailDialog::OnPreferences);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(results, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { ShowMessage(item); });
    connect(containingEdit, &QLineEdit::textChanged, this, &CSearchMailDialog::UpdateControls);
    connect(duringCheck, &QCheckBox::toggled, this, &CSearchMailDialog::UpdateControls);
    connect(inCheck, &QCheckBox::toggled, this, &CSearchMailDialog::UpdateControls);
    // The start date is never moved past the end date.
    connect(endDate, &QDateEdit::dateChanged, startDate, [this](QDate end) { startDate->setMaximumDate(end); });
    ClearForm();
}

CSearchMailDialog::~CSearchMailDialog() {
    worker.Stop();
    worker.Wait();
}

void CSearchMailDialog::ClearForm() {
    for (QLineEdit* edit : {fromEdit, toEdit, subjectEdit, containingEdit}) edit->clear();
    fromJoin->setChecked(false);
    toJoin->setChecked(false);
    subjectJoin->setChecked(true);
    subjectJoin->setEnabled(false);
    anyWord->setChecked(true);
    duringCheck->setChecked(false);
    const QDate today = QDate::currentDate();
    startDate->setMaximumDate(QDate(9999, 12, 31));
    endDate->setDate(today);
    startDate->setDate(today);
    startDate->setMaximumDate(today);
    inCheck->setChecked(false);
    inList->setCurrentIndex(0);
    UpdateControls();
}

void CSearchMailDialog::UpdateControls() {
    const bool words = !containingEdit->text().isEmpty();
    anyWord->setEnabled(words);
    allWords->setEnabled(words);
    startDate->setEnabled(duringCheck->isChecked());
    endDate->setEnabled(duringCheck->isChecked());
    inList->setEnabled(inCheck->isChecked());
}

MailSearchForm CSearchMailDialog::Form() const {
    MailSearchForm form;
    form.from = Bytes(fromEdit->text());
    form.fromAnd = fromJoin->isChecked();
    form.to = Bytes(toEdit->text());
    form.toAnd = toJoin->isChecked();
    form.subject = Bytes(subjectEdit->text());
    form.containing = Bytes(containingEdit->text());
    form.allWords = allWords->isChecked();
    form.during = duringCheck->isChecked();
    form.start = DateOf(startDate->date());
    form.end = DateOf(endDate->date());
    form.in = inCheck->isChecked();
    form.sentItems = inList->currentIndex() == 1;
    return form;
}

void CSearchMailDialog::OnSearch() {
    if (searching) {
        worker.Stop();
        return;
    }
    const MailSearchForm form = Form();
    MailSearchJob job;
    job.connection = context.Connection();
    // The query runs on a connection of its own: a long one then keeps none
    // that this thread's pages use.
    job.connect = []() -> std::unique_ptr<CMailDatabase> {
        auto database = std::make_unique<CMailDatabase>();
        return database->Connect() ? std::move(database) : nullptr;
    };
    job.query = form.Query();
    job.containing = form.containing;
    job.allWords = form.allWords;
    CMailLog* log = CMailLog::Installed();
    job.logRoot = log ? log->LogRoot() : CMailLog::ConfiguredRoot();
    results->clear();
    records.clear();
    status->clear();
    // The result comes back on the worker's thread and is posted to this one.
    const bool started = worker.Start(std::move(job), [this](std::vector<MailSearchRecord> kept) {
        QMetaObject::invokeMethod(
            this, [this, kept = std::move(kept)]() mutable { OnSearchDone(std::move(kept)); }, Qt::QueuedConnection);
    });
    if (!started) return;
    searching = true;
    searchButton->setText(QStringLiteral("&Stop"));
    busy->show();
}

void CSearchMailDialog::OnSearchDone(std::vector<MailSearchRecord> kept) {
    results->clear();
    records = std::move(kept);
    QList<QTreeWidgetItem*> rows;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const MailSearchRecord& r = records[i];
        auto* row = new QTreeWidgetItem({Text(r.from), Text(r.to), Text(r.subject), Text(r.date),
                                         QString::number(r.size)});
        row->setData(0, kRecordRole, static_cast<qulonglong>(i));
        rows << row;
    }
    results->addTopLevelItems(rows);
    status->setText(QString::number(records.size()) + QStringLiteral(" messages found"));
    searching = false;
    searchButton->setText(QStringLiteral("&Search"));
    busy->hide();
}

void CSearchMailDialog::ShowMessage(QTreeWidgetItem* item) {
    const MailSearchRecord* record = nullptr;
    if (item) {
        bool ok = false;
        const qulonglong index = item->data(0, kRecordRole).toULongLong(&ok);
        if (ok && index < records.size()) record = &records[index];
    }
    CMailLog* log = CMailLog::Installed();
    const MailLogView view = CMailLogViewer::View(log ? log->LogRoot() : CMailLog::ConfiguredRoot(), record);
    if (!view.shown) {
        CConsoleMessageBox::Show(this, QString::fromLatin1(view.text.c_str()));
        return;
    }
    delete viewer;
    viewer = new QDialog(this);
    viewer->setWindowTitle(item->text(2));
    auto* text = new QPlainTextEdit(viewer);
    text->setObjectName(QStringLiteral("text"));
    text->setReadOnly(true);
    text->setPlainText(Text(view.text));
    auto* layout = new QVBoxLayout(viewer);
    layout->addWidget(text);
    auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, viewer);
    connect(ok, &QDialogButtonBox::accepted, viewer, &QDialog::accept);
    layout->addWidget(ok);
    viewer->resize(600, 450);
    // Modal to this dialog, without a nested event loop.
    viewer->open();
}

void CSearchMailDialog::OnPreferences() {
    CMailLog* log = CMailLog::Installed();
    bool ok = false;
    const int days = QInputDialog::getInt(this, QStringLiteral("Preferences"),
                                          QStringLiteral("Keep the mail log for this many days:"),
                                          log ? static_cast<int>(log->KeepDays()) : 9, 1, 100000, 1, &ok);
    if (!ok) return;
    if (!CMailLog::SetKeepDays(static_cast<std::uint32_t>(days)))
        CConsoleMessageBox::Show(this, QStringLiteral("reg value not set"));
}
