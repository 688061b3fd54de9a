// The mail log through the real database and file system: rows and text in
// step, offsets, the day change, removal of old days, and two threads logging
// at once.
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DatabaseTest.h"
#include "ScriptedContent.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailLog.h"
#include "platform/Home.h"

namespace {

namespace fs = std::filesystem;

// A local time on a given day, as the log's clock.
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

std::string Message(const std::string& subject, std::size_t size) {
    std::string text = "From: sender@example.org\r\nSubject: " + subject + "\r\n\r\n";
    if (text.size() < size) text += std::string(size - text.size(), 'x');
    text.resize(size);
    return text;
}

class MailLogTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        root = home.File("maillog");
        SetSettingString(settings::kLogKeyPath, "Log Directory", root);
        SetSettingDword(settings::kLogKeyPath, "Maintain Log", 9);
    }
    static std::string Slice(const std::string& file, const std::string& offset, const std::string& size) {
        return file.substr(std::stoul(offset), std::stoul(size));
    }

    std::string root;
};

TEST_F(MailLogTest, RowsCarryOffsetsAndSizesOfTheAppendedText) {
    const std::time_t now = LocalTime(2026, 12, 6, 12, 0, 0);
    CMailLog log(Connection());
    log.SetClock([&] { return now; });
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(log.CurrentDay(), "06122026");
    const std::string day = root + "/06122026";

    const std::string first = Message("first", 100), second = Message("second", 200);
    auto a = Content(first), b = Content(second);
    ASSERT_TRUE(log.LogReceived("carol@mail.local", a.get()));
    ASSERT_TRUE(log.LogReceived("carol@mail.local", b.get()));
    const std::string big = Message("big", 200000);
    auto c = Content(big);
    ASSERT_TRUE(log.LogSent("carol@mail.local", "ann@example.org", c.get()));
    EXPECT_FALSE(log.LogSent("x", "y", nullptr));

    const std::string received = TestHome::ReadFile(day + "/ReceiveMail.Log");
    EXPECT_EQ(received, first + second);
    EXPECT_EQ(TestHome::ReadFile(day + "/SentMail.Log"), big);

    EXPECT_EQ(
        Lines("SELECT MailFrom, MailTo, Subject, MailDate, IsLocal, MailSize, Offset, LogDay FROM "
              "MAILSTATISTICS ORDER BY IsLocal DESC, Offset"),
        (std::vector<std::string>{"sender@example.org|carol@mail.local|first|2026-12-06 12:00:00|1|100|0|06122026",
                                  "sender@example.org|carol@mail.local|second|2026-12-06 12:00:00|1|200|100|06122026",
                                  "carol@mail.local|ann@example.org|big|2026-12-06 12:00:00|0|200000|0|06122026"}));
}

TEST_F(MailLogTest, ApostrophesLongTextsAndEightBitBytesAreStoredIntact) {
    CMailLog log(Connection());
    ASSERT_TRUE(log.Open());
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xc3\xa9";  // 400 bytes of UTF-8
    const std::string sender = "O'Brien \xe9t\xe9 <ob@example.org>";
    auto content = Content(Message("x", 50));
    ASSERT_TRUE(log.LogMail(Connection(), sender, "d'arcy@example.org", "It's " + accents, true, content.get()));
    // The subject cut to 255 bytes at a character boundary: "It's " and 125 whole characters.
    EXPECT_EQ(Lines("SELECT MailFrom, MailTo, Subject FROM MAILSTATISTICS"),
              std::vector<std::string>{sender + "|d'arcy@example.org|It's " + accents.substr(0, 250)});
}

TEST_F(MailLogTest, FirstMessageAfterMidnightStartsANewDay) {
    std::time_t now = LocalTime(2026, 12, 6, 23, 59, 59);
    CMailLog log(Connection());
    log.SetClock([&] { return now; });
    ASSERT_TRUE(log.Open());
    auto a = Content(Message("late", 120));
    ASSERT_TRUE(log.LogReceived("carol@mail.local", a.get()));
    now = LocalTime(2026, 12, 7, 0, 0, 1);
    auto b = Content(Message("early", 80));
    ASSERT_TRUE(log.LogReceived("carol@mail.local", b.get()));
    EXPECT_EQ(log.CurrentDay(), "07122026");
    EXPECT_EQ(fs::file_size(root + "/06122026/ReceiveMail.Log"), 120u);
    EXPECT_EQ(fs::file_size(root + "/07122026/ReceiveMail.Log"), 80u);
    EXPECT_EQ(Lines("SELECT Subject, Offset, LogDay FROM MAILSTATISTICS ORDER BY MailDate"),
              (std::vector<std::string>{"late|0|06122026", "early|0|07122026"}));
}

TEST_F(MailLogTest, OpenRemovesDaysOlderThanTheRetention) {
    const std::time_t now = LocalTime(2026, 12, 16, 9, 0, 0);
    // Ten days back, and the ninth day back (kept).
    fs::create_directories(root + "/06122026");
    TestHome::WriteFile(root + "/06122026/SentMail.Log", "old sent");
    TestHome::WriteFile(root + "/06122026/ReceiveMail.Log", "old received");
    fs::create_directories(root + "/07122026");
    fs::create_directories(root + "/notadate");
    fs::create_directories(root + "/99999999");
    ASSERT_TRUE(
        Exec("INSERT INTO MAILSTATISTICS VALUES ('a','b','old','2026-12-06 10:00:00', true, 1, 0, '06122026')"));
    ASSERT_TRUE(
        Exec("INSERT INTO MAILSTATISTICS VALUES ('a','b','kept','2026-12-07 10:00:00', true, 1, 0, '07122026')"));
    CMailLog log(Connection());
    log.SetClock([&] { return now; });
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(log.KeepDays(), 9u);
    EXPECT_FALSE(fs::exists(root + "/06122026"));
    EXPECT_TRUE(fs::exists(root + "/07122026"));
    EXPECT_TRUE(fs::exists(root + "/notadate"));
    EXPECT_TRUE(fs::exists(root + "/99999999"));
    EXPECT_TRUE(fs::exists(root + "/16122026/SentMail.Log"));
    EXPECT_EQ(Lines("SELECT Subject FROM MAILSTATISTICS"), std::vector<std::string>{"kept"});
}

TEST_F(MailLogTest, FailuresKeepRowsAndTextInStep) {
    CMailLog log(Connection());
    ASSERT_TRUE(log.Open());
    ASSERT_TRUE(log.SentOpen() && log.ReceivedOpen());
    // A failed insert writes no text.
    auto a = Content(Message("lost", 100));
    EXPECT_FALSE(log.LogMail(SQL_NULL_HDBC, "a", "b", "lost", true, a.get()));
    const std::string day = root + "/" + log.CurrentDay();
    EXPECT_EQ(fs::file_size(day + "/ReceiveMail.Log"), 0u);

    // Text that cannot be copied whole takes its row back and leaves the
    // file as it was.
    auto good = Content(Message("good", 150));
    ASSERT_TRUE(log.LogReceived("r@example.org", good.get()));
    ScriptedContent broken(std::string(200000, 'f'));  // reading fails after its first block
    broken.failAfter = 1000;
    EXPECT_FALSE(log.LogMail(Connection(), "a", "b", "broken", true, &broken));
    EXPECT_EQ(fs::file_size(day + "/ReceiveMail.Log"), 150u);
    EXPECT_EQ(Lines("SELECT Subject FROM MAILSTATISTICS"), std::vector<std::string>{"good"});
    ASSERT_TRUE(Exec("DELETE FROM MAILSTATISTICS"));

    // A second writer on the same files is kept out and logs nothing.
    CMailLog other(Connection());
    ASSERT_TRUE(other.Open());
    EXPECT_FALSE(other.ReceivedOpen());
    EXPECT_FALSE(other.LogReceived("x", a.get()));
    EXPECT_TRUE(Rows("SELECT * FROM MAILSTATISTICS").empty());
}

TEST_F(MailLogTest, EmptyDirectorySettingLogsIntoTheHome) {
    SetSettingString(settings::kLogKeyPath, "Log Directory", "");
    CMailLog log(Connection());
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(log.LogRoot(), Home::Dir());
    EXPECT_TRUE(fs::is_directory(Home::Dir() + "/" + log.CurrentDay()));
}

TEST_F(MailLogTest, TwoThreadsNeverInterleaveRowsAndText) {
    CMailLog log(Connection());
    ASSERT_TRUE(log.Open());
    constexpr int kPerThread = 25;
    auto work = [&](char tag) {
        for (int i = 0; i < kPerThread; ++i) {
            std::string subject = std::string(1, tag) + std::to_string(i);
            std::string text = Message(subject, 3000 + 97 * static_cast<std::size_t>(i));
            auto content = Content(text);
            EXPECT_TRUE(log.LogReceived("r@example.org", content.get()));
        }
    };
    std::thread one(work, 'a'), two(work, 'b');
    one.join();
    two.join();
    const std::string file = TestHome::ReadFile(root + "/" + log.CurrentDay() + "/ReceiveMail.Log");
    auto rows = Rows("SELECT Subject, Offset, MailSize FROM MAILSTATISTICS");
    ASSERT_EQ(rows.size(), 2u * kPerThread);
    std::size_t total = 0;
    for (const auto& row : rows) {
        const std::size_t i = std::stoul(row[0].substr(1));
        EXPECT_EQ(Slice(file, row[1], row[2]), Message(row[0], 3000 + 97 * i)) << row[0];
        total += std::stoul(row[2]);
    }
    EXPECT_EQ(total, file.size());
}

}  // namespace
