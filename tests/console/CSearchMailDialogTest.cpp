// The "Search Mail" dialog offscreen: a search with each kind of condition,
// the list and count it fills, the viewer on double-click, Clear, and Stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "ConsoleTest.h"
#include "TestPeers.h"
#include "console/CSearchMailDialog.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailLog.h"

namespace {

class CSearchMailDialogTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        if (HasFatalFailure()) return;
        SetSettingString(settings::kLogKeyPath, "Log Directory", home.File("maillog"));
        log = std::make_unique<CMailLog>(Connection());
        log->SetClock([this] { return now; });
        ASSERT_TRUE(log->Open());
    }
    void Log(const QDate& day, const std::string& from, const std::string& subject, bool received,
             const std::string& body, QTime at = QTime(12, 0)) {
        now = QDateTime(day, at).toSecsSinceEpoch();
        auto content = Content("From: " + from + "\r\nSubject: " + subject + "\r\n\r\n" + body);
        ASSERT_TRUE(log->LogMail(Connection(), from, "office@mail.local", subject, received, content.get()));
    }
    template <class T>
    T* Child(const char* name) {
        T* child = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    // Presses "&Search" and waits for the result; the subjects listed.
    QStringList Search() {
        Child<QPushButton>("search")->click();
        EXPECT_TRUE(dialog->Searching());
        const QDeadlineTimer deadline(20000);
        while (dialog->Searching() && !deadline.hasExpired()) Settle();
        EXPECT_FALSE(dialog->Searching());
        EXPECT_EQ(Child<QPushButton>("search")->text(), "&Search");
        QStringList subjects;
        QTreeWidget* list = Child<QTreeWidget>("results");
        for (int i = 0; i < list->topLevelItemCount(); ++i) subjects << list->topLevelItem(i)->text(2);
        EXPECT_EQ(Child<QLabel>("status")->text(), QString::number(subjects.size()) + " messages found");
        return subjects;
    }

    // Whether a thread of this process waits in an open of a FIFO for its writer.
    static bool WaitsOnFifoOpen() {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream wchan(task.path() / "wchan");
            std::string where;
            if (std::getline(wchan, where) && where == "wait_for_partner") return true;
        }
        return false;
    }

    std::time_t now = 0;
    std::unique_ptr<CMailLog> log;
    std::unique_ptr<CSearchMailDialog> dialog;
};

TEST_F(CSearchMailDialogTest, EachConditionKindViewerClearAndStop) {
    const QDate today = QDate::currentDate();
    Log(today.addDays(-2), "ann@x.test", "budget", true, "the numbers");
    Log(today.addDays(-1), "bob@y.test", "minutes", false, "ann's notes");
    Log(today, "carol@x.test", "lunch", true, "friday at noon");
    dialog = std::make_unique<CSearchMailDialog>(context);
    dialog->show();
    EXPECT_EQ(Search(), (QStringList{"budget", "minutes", "lunch"}));

    Child<QLineEdit>("from")->setText("x.test");
    Child<QLineEdit>("subject")->setText("lunch");
    EXPECT_EQ(Search(), (QStringList{"budget", "lunch"}));
    Child<QCheckBox>("fromJoin")->setChecked(true);
    EXPECT_EQ(Child<QCheckBox>("fromJoin")->text(), "And");
    EXPECT_EQ(Search(), QStringList{"lunch"});

    Child<QPushButton>("clear")->click();
    EXPECT_EQ(Child<QCheckBox>("fromJoin")->text(), "Or");
    EXPECT_FALSE(Child<QRadioButton>("allWords")->isEnabled());
    Child<QLineEdit>("to")->setText("OFFICE");
    Child<QCheckBox>("in")->setChecked(true);
    Child<QComboBox>("inList")->setCurrentIndex(1);
    EXPECT_EQ(Search(), QStringList{"minutes"});

    Child<QPushButton>("clear")->click();
    Child<QCheckBox>("during")->setChecked(true);
    Child<QDateEdit>("startDate")->setDate(today.addDays(-2));
    Child<QDateEdit>("endDate")->setDate(today.addDays(-1));
    EXPECT_EQ(Search(), (QStringList{"budget", "minutes"}));
    // The start date cannot pass the end date; a spin step is one day, also
    // across the end of a month.
    Child<QDateEdit>("startDate")->setDate(today);
    EXPECT_EQ(Child<QDateEdit>("startDate")->date(), today.addDays(-1));
    Child<QDateEdit>("endDate")->setDate(QDate(2026, 2, 1));
    Child<QDateEdit>("startDate")->setDate(QDate(2026, 1, 31));
    Child<QDateEdit>("startDate")->stepBy(1);
    EXPECT_EQ(Child<QDateEdit>("startDate")->date(), QDate(2026, 2, 1));
    Child<QDateEdit>("startDate")->stepBy(1);
    EXPECT_EQ(Child<QDateEdit>("startDate")->date(), QDate(2026, 2, 1));

    Child<QPushButton>("clear")->click();
    Child<QLineEdit>("containing")->setText("ann noon");
    EXPECT_EQ(Search(), (QStringList{"minutes", "lunch"}));
    Child<QRadioButton>("allWords")->setChecked(true);
    EXPECT_EQ(Search(), QStringList{});
    Child<QLineEdit>("containing")->setText("AT NOON");
    ASSERT_EQ(Search(), QStringList{"lunch"});

    QTreeWidget* list = Child<QTreeWidget>("results");
    emit list->itemDoubleClicked(list->topLevelItem(0), 0);
    ASSERT_NE(dialog->Viewer(), nullptr);
    EXPECT_EQ(dialog->Viewer()->findChild<QPlainTextEdit*>("text")->toPlainText(),
              "From: carol@x.test\nSubject: lunch\n\nfriday at noon");

    // Stop while the body search waits on a message: the records kept so
    // far are listed, the later ones are dropped. The second record's log is
    // a FIFO: the worker's open waits for a writer, and Stop is pressed
    // while it waits (before the test lets it go on), so no later record
    // can slip through.
    const std::string fifoDay = home.File("maillog") + "/02011999";
    std::filesystem::create_directories(fifoDay);
    const std::string fifo = fifoDay + "/ReceiveMail.Log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string halfPast = today.toString("yyyy-MM-dd").toStdString() + " 12:30:00";
    ASSERT_TRUE(Exec("INSERT INTO MAILSTATISTICS VALUES ('f@x.test', 'o@x.test', 'waits', '" + halfPast +
                     "', true, 10, 0, '02011999')"));
    for (int i = 0; i < 20; ++i) Log(today, "dan@x.test", "later", true, "zz", QTime(13, 0));
    Child<QLineEdit>("containing")->setText("noon zz");
    Child<QRadioButton>("anyWord")->setChecked(true);
    Child<QPushButton>("search")->click();
    ASSERT_EQ(Child<QPushButton>("search")->text(), "&Stop");
    const QDeadlineTimer reached(20000);
    while (!WaitsOnFifoOpen() && !reached.hasExpired()) Settle();
    ASSERT_TRUE(WaitsOnFifoOpen()) << "the worker never opened the second record's log";
    Child<QPushButton>("search")->click();
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ::close(writer);
    const QDeadlineTimer deadline(20000);
    while (dialog->Searching() && !deadline.hasExpired()) Settle();
    EXPECT_EQ(Child<QPushButton>("search")->text(), "&Search");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(2), "lunch");
    EXPECT_EQ(Child<QLabel>("status")->text(), "1 messages found");
    Screenshot(*dialog, "search-mail");
}

}  // namespace
