// The mail log search: the query a form stands for, the body search's word
// modes and header skip, and whole searches, the viewer, Stop and the shell
// command through the real database and log files.
#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "TestPeers.h"
#include "app/LogCommand.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailBodySearch.h"
#include "maillog/CMailLog.h"
#include "maillog/CMailLogViewer.h"
#include "maillog/CMailSearchWorker.h"
#include "maillog/MailSearchForm.h"

namespace {

constexpr const char* kOrder = " ORDER BY MailDate, Offset ";

TEST(MailSearchFormTest, ConditionsAreJoinedQuotedAndParenthesisedInTheirOrder) {
    MailSearchForm form;
    EXPECT_EQ(form.Query(), std::string("SELECT * FROM MAILSTATISTICS") + kOrder);

    form.to = "bob";
    EXPECT_EQ(form.Query(), std::string("SELECT * FROM MAILSTATISTICS WHERE (MailTo LIKE '%bob%' ESCAPE '!')") + kOrder);

    form = {};
    form.from = "ann";
    form.subject = "report";
    form.fromAnd = true;
    EXPECT_EQ(form.Query(), std::string("SELECT * FROM MAILSTATISTICS WHERE (MailFrom LIKE '%ann%' ESCAPE '!' AND "
                                        "Subject LIKE '%report%' ESCAPE '!')") +
                                kOrder);
    form.fromAnd = false;
    form.to = "bob";
    form.toAnd = true;
    form.during = true;
    form.start = {1, 12, 2026};
    form.end = {3, 12, 2026};
    form.in = true;
    form.sentItems = true;
    EXPECT_EQ(form.Query(),
              std::string("SELECT * FROM MAILSTATISTICS WHERE (MailFrom LIKE '%ann%' ESCAPE '!' OR MailTo LIKE '%bob%' "
                          "ESCAPE '!' AND Subject LIKE '%report%' ESCAPE '!') AND (MailDate >= cdate('12/1/2026') AND "
                          "MailDate <= cdate('12/3/2026')+1 AND IsLocal = false)") +
                  kOrder);

    // Without texts the date and direction stand alone in one pair.
    form.from = form.to = form.subject = "";
    form.sentItems = false;
    EXPECT_EQ(form.Query(), std::string("SELECT * FROM MAILSTATISTICS WHERE (MailDate >= cdate('12/1/2026') AND "
                                        "MailDate <= cdate('12/3/2026')+1 AND IsLocal = true)") +
                                kOrder);

    // Typed wildcards, the escape and an apostrophe stand for themselves.
    form = {};
    form.subject = "50%_o'k!";
    EXPECT_EQ(form.Query(),
              std::string("SELECT * FROM MAILSTATISTICS WHERE (Subject LIKE '%50!%!_o''k!!%' ESCAPE '!')") + kOrder);
}

// A message held in memory, read back at most `piece` bytes at a time.
bool Finds(const std::string& message, const std::string& containing, bool allWords, std::size_t piece = 4096) {
    CMailBodySearch search(
        [&](std::uint64_t position, char* buffer, std::size_t count) -> long {
            if (position >= message.size()) return 0;
            const std::size_t n = std::min({count, piece, message.size() - static_cast<std::size_t>(position)});
            std::memcpy(buffer, message.data() + position, n);
            return static_cast<long>(n);
        },
        0, static_cast<std::uint32_t>(message.size()));
    return search.Matches(containing, allWords);
}

TEST(MailBodySearchTest, WordModesHeaderSkipAndBlockEdges) {
    const std::string message = "From: ann@example.org\r\nSubject: quarterly\r\n\r\nThe Budget is attached.\r\n";
    // Any word: the second word alone suffices; all words: the text as one string.
    EXPECT_TRUE(Finds(message, "invoice\r\nbudget", false));
    EXPECT_FALSE(Finds(message, "invoice budget", true));
    EXPECT_TRUE(Finds(message, "BUDGET IS", true));
    // Words only in the header never select the message.
    EXPECT_FALSE(Finds(message, "quarterly ann", false));
    // A header that does not end within the size has no body.
    EXPECT_FALSE(Finds("Subject: budget\r\nX: budget\r\n", "budget", false));
    // Carriage returns between the two line feeds still end the header.
    EXPECT_TRUE(Finds("Subject: x\n\r\r\nbudget", "budget", false));

    // An occurrence across the 1024-byte blocks, however the file is read.
    std::string big = "Subject: s\r\n\r\n";
    const std::size_t bodyStart = big.size();
    big += std::string(CMailBodySearch::kBlockSize - 3, 'x') + "NeEdLe" + std::string(3000, 'y');
    ASSERT_EQ(big.find("NeEdLe") - bodyStart, CMailBodySearch::kBlockSize - 3);
    for (std::size_t piece : {1u, 7u, 1024u, 100000u}) EXPECT_TRUE(Finds(big, "needle", true, piece)) << piece;
    EXPECT_FALSE(Finds(big, "needles", true));
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

class MailSearchTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        root = home.File("maillog");
        SetSettingString(settings::kLogKeyPath, "Log Directory", root);
        log = std::make_unique<CMailLog>(Connection());
        log->SetClock([this] { return now; });
        ASSERT_TRUE(log->Open());
    }
    void Log(std::time_t when, const std::string& from, const std::string& subject, bool received,
             const std::string& body) {
        now = when;
        auto content = Content("From: " + from + "\r\nSubject: " + subject + "\r\n\r\n" + body);
        ASSERT_TRUE(log->LogMail(Connection(), from, "office@mail.local", subject, received, content.get()));
    }
    std::vector<std::string> Subjects(const MailSearchForm& form) {
        MailSearchJob job{Connection(), form.Query(), form.containing, form.allWords, root, {}, {}};
        const std::atomic<bool> stop{false};
        std::vector<std::string> subjects;
        for (const MailSearchRecord& r : CMailSearchWorker::Run(job, stop)) subjects.push_back(r.subject);
        return subjects;
    }

    std::string root;
    std::time_t now = LocalTime(2026, 12, 1, 10, 0, 0);
    std::unique_ptr<CMailLog> log;
};

TEST_F(MailSearchTest, TypedWildcardsDatesDirectionAndBodiesSelectTheRightMessages) {
    Log(LocalTime(2026, 12, 1, 10, 0, 0), "50% off <deals@shop.test>", "it's 100_percent", true, "alpha");
    Log(LocalTime(2026, 12, 3, 23, 59, 59), "carol@example.org", "its 100Xpercent", false, "beta Gamma");
    Log(LocalTime(2026, 12, 4, 0, 0, 1), "dan@example.org", "later", true, "gamma");

    MailSearchForm form;
    form.from = "%";
    EXPECT_EQ(Subjects(form), std::vector<std::string>{"it's 100_percent"});
    form = {};
    form.subject = "'s 100_";
    EXPECT_EQ(Subjects(form), std::vector<std::string>{"it's 100_percent"});
    form.subject = "100_P";
    EXPECT_EQ(Subjects(form), std::vector<std::string>{"it's 100_percent"});

    // The end day is included, the day after it is not.
    form = {};
    form.during = true;
    form.start = {1, 12, 2026};
    form.end = {3, 12, 2026};
    EXPECT_EQ(Subjects(form), (std::vector<std::string>{"it's 100_percent", "its 100Xpercent"}));
    form.in = true;
    form.sentItems = true;
    EXPECT_EQ(Subjects(form), std::vector<std::string>{"its 100Xpercent"});

    // The body search reads each record's own day and direction file.
    form = {};
    form.containing = "GAMMA";
    EXPECT_EQ(Subjects(form), (std::vector<std::string>{"its 100Xpercent", "later"}));
    form.containing = "deals alpha";
    form.allWords = true;
    EXPECT_TRUE(Subjects(form).empty());
}

TEST_F(MailSearchTest, ViewerShowsTheFirst3000BytesOrSaysWhatFailed) {
    const std::string head = "From: ann@x.test\r\nSubject: big\r\n\r\n";
    const std::string body(5000 - head.size(), 'b');
    Log(now, "ann@x.test", "big", true, body);
    MailSearchForm form;
    MailSearchJob job{Connection(), form.Query(), "", false, root, {}, {}};
    const std::atomic<bool> stop{false};
    std::vector<MailSearchRecord> found = CMailSearchWorker::Run(job, stop);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(found[0].size, 5000u);
    const std::string message = head + body;
    const MailLogView view = CMailLogViewer::View(root, &found[0]);
    EXPECT_TRUE(view.shown);
    EXPECT_EQ(view.text, message.substr(0, 3000) + "\r\n\r\nMail is too big to be shown here !!!");

    EXPECT_EQ(CMailLogViewer::View(root, nullptr).text, "Error in Reading File.");
    MailSearchRecord beyond = found[0];
    beyond.offset = 10000;
    EXPECT_EQ(CMailLogViewer::View(root, &beyond).text, "Error in Accessing that mail.");
    MailSearchRecord elsewhere = found[0];
    elsewhere.day = "01011999";  // a day without logs
    EXPECT_EQ(CMailLogViewer::View(root, &elsewhere).text, "Sorry, could not display this data");
    elsewhere.day = "../maillog";
    EXPECT_FALSE(CMailLogViewer::View(root, &elsewhere).shown);
}

TEST_F(MailSearchTest, StopKeepsOnlyTheRecordsExaminedSoFar) {
    for (int i = 0; i < 5; ++i) Log(now + i, "ann@x.test", "m" + std::to_string(i), true, "wanted");
    MailSearchForm form;
    CMailSearchWorker worker;
    std::vector<MailSearchRecord> result;
    MailSearchJob job{Connection(), form.Query(), "wanted", false, root, {}, {}};
    job.progress = [&worker](std::size_t examined, std::size_t) {
        if (examined == 2) worker.Stop();
    };
    ASSERT_TRUE(worker.Start(job, [&result](std::vector<MailSearchRecord> kept) { result = std::move(kept); }));
    worker.Wait();
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[1].subject, "m1");
    // Stopped before the first fetch: nothing.
    const std::atomic<bool> stopped{true};
    EXPECT_TRUE(CMailSearchWorker::Run(job, stopped).empty());
}

TEST_F(MailSearchTest, ShellSearchNumbersTheLinesAndShowPrintsThatMessage) {
    Log(now, "ann@x.test", "first\x1b[2J", true, "one");
    Log(now + 1, "bob@x.test", "second", false, "two");
    std::ostringstream out, err;
    EXPECT_EQ(LogCommand::Run({"search", "--during", "01/12/2026", "2026-12-01"}, out, err), 0) << err.str();
    EXPECT_EQ(out.str(),
              "1  2026-12-01 10:00:00  received  43 bytes  From: ann@x.test  To: office@mail.local  Subject: first?[2J\n"
              "2  2026-12-01 10:00:01  sent  40 bytes  From: bob@x.test  To: office@mail.local  Subject: second\n"
              "2 messages found\n");
    out.str("");
    EXPECT_EQ(LogCommand::Run({"show", "--in", "sent", "1"}, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), "From: bob@x.test\r\nSubject: second\r\n\r\ntwo");
    EXPECT_EQ(LogCommand::Run({"show", "--in", "sent", "2"}, out, err), 1);
    EXPECT_EQ(LogCommand::Run({"search", "--during", "31/02/2026", "01/03/2026"}, out, err), 64);
}

}  // namespace
