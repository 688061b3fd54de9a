// The mail log through the real database and file system: rows and text in
// step, offsets, the day change, removal of old days, and two threads logging
// at once.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestContent.h"
#include "DatabaseTest.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailLog.h"
#include "platform/Home.h"
#include "platform/Registry.h"

namespace {

namespace fs = std::filesystem;

void SetDword(const char* keyPath, const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void SetString(const char* keyPath, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                  static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

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

// A message whose reading fails after its first block, as a file on a
// failing disk would.
class FailingContent : public CMailContent {
public:
    explicit FailingContent(std::uint32_t length) : length(length) {}
    std::uint32_t GetLength() override { return length; }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        if (position > 0) return -1;
        std::memset(buffer, 'f', count);
        position += count;
        return static_cast<int>(count);
    }
    bool Write(const void*, std::uint32_t) override { return false; }
    bool Open() override { return true; }

private:
    std::uint32_t length;
    std::uint32_t position = 0;
};

class MailLogTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        root = home.File("maillog");
        SetString(settings::kLogKeyPath, "Log Directory", root);
        SetDword(settings::kLogKeyPath, "Maintain Log", 9);
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

    auto rows = Rows("SELECT * FROM MAILSTATISTICS ORDER BY IsLocal DESC, Offset");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], "sender@example.org");
    EXPECT_EQ(rows[0][1], "carol@mail.local");
    EXPECT_EQ(rows[0][2], "first");
    EXPECT_EQ(rows[0][3], "2026-12-06 12:00:00");
    EXPECT_EQ(rows[0][5], "100");
    EXPECT_EQ(rows[0][6], "0");
    EXPECT_EQ(rows[0][7], "06122026");
    EXPECT_EQ(rows[1][5], "200");
    EXPECT_EQ(rows[1][6], "100");
    EXPECT_EQ(rows[2][0], "carol@mail.local");
    EXPECT_EQ(rows[2][1], "ann@example.org");
    EXPECT_EQ(rows[2][2], "big");
    EXPECT_EQ(rows[2][5], "200000");
    EXPECT_EQ(rows[2][6], "0");
    EXPECT_NE(rows[0][4], rows[2][4]);  // received and sent differ in IsLocal
}

TEST_F(MailLogTest, ApostrophesLongTextsAndEightBitBytesAreStoredIntact) {
    CMailLog log(Connection());
    ASSERT_TRUE(log.Open());
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xc3\xa9";  // 400 bytes of UTF-8
    const std::string sender = "O'Brien \xe9t\xe9 <ob@example.org>";
    auto content = Content(Message("x", 50));
    ASSERT_TRUE(log.LogMail(Connection(), sender, "d'arcy@example.org", "It's " + accents, true, content.get()));
    auto rows = Rows("SELECT MailFrom, MailTo, Subject FROM MAILSTATISTICS");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], sender);
    EXPECT_EQ(rows[0][1], "d'arcy@example.org");
    // Cut to 255 bytes at a character boundary: "It's " and 125 whole characters.
    EXPECT_EQ(rows[0][2], "It's " + accents.substr(0, 250));
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
    auto rows = Rows("SELECT Subject, Offset, LogDay FROM MAILSTATISTICS ORDER BY MailDate");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][0], "early");
    EXPECT_EQ(rows[1][1], "0");
    EXPECT_EQ(rows[1][2], "07122026");
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
    {
        OdbcStatement s(Connection());
        ASSERT_TRUE(
            s.ExecDirect("INSERT INTO MAILSTATISTICS VALUES ('a','b','old','2026-12-06 10:00:00', true, "
                         "1, 0, '06122026')"));
        OdbcStatement t(Connection());
        ASSERT_TRUE(
            t.ExecDirect("INSERT INTO MAILSTATISTICS VALUES ('a','b','kept','2026-12-07 10:00:00', true, "
                         "1, 0, '07122026')"));
    }
    CMailLog log(Connection());
    log.SetClock([&] { return now; });
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(log.KeepDays(), 9u);
    EXPECT_FALSE(fs::exists(root + "/06122026"));
    EXPECT_TRUE(fs::exists(root + "/07122026"));
    EXPECT_TRUE(fs::exists(root + "/notadate"));
    EXPECT_TRUE(fs::exists(root + "/99999999"));
    EXPECT_TRUE(fs::exists(root + "/16122026/SentMail.Log"));
    auto rows = Rows("SELECT Subject FROM MAILSTATISTICS");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "kept");
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
    FailingContent broken(200000);
    EXPECT_FALSE(log.LogMail(Connection(), "a", "b", "broken", true, &broken));
    EXPECT_EQ(fs::file_size(day + "/ReceiveMail.Log"), 150u);
    auto kept = Rows("SELECT Subject FROM MAILSTATISTICS");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0][0], "good");
    {
        OdbcStatement s(Connection());
        ASSERT_TRUE(s.ExecDirect("DELETE FROM MAILSTATISTICS"));
    }

    // A second writer on the same files is kept out and logs nothing.
    CMailLog other(Connection());
    ASSERT_TRUE(other.Open());
    EXPECT_FALSE(other.ReceivedOpen());
    EXPECT_FALSE(other.LogReceived("x", a.get()));
    EXPECT_TRUE(Rows("SELECT * FROM MAILSTATISTICS").empty());
}

TEST_F(MailLogTest, EmptyDirectorySettingLogsIntoTheHome) {
    SetString(settings::kLogKeyPath, "Log Directory", "");
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
