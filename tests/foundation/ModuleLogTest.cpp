// The diagnostic log: on only at level 1, named from the UTC start minute, four
// banner lines, one line per Write stamped with the local time, nothing after
// Close; a restart in the same minute continues below the earlier run's lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/CModuleLog.h"

namespace {

void WriteLogSettings(const TestHome& home, const std::string& values) {
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Corvane]\n" + values);
}

std::size_t LogFiles(const std::string& dir) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.path().extension() == ".log";
    return n;
}

// The file's text without the time stamps, which every line must carry.
std::string Unstamped(const std::string& path) {
    const std::string text = TestHome::ReadFile(path);
    const std::string plain = std::regex_replace(text, std::regex("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} "), "$1");
    EXPECT_EQ(text.size() - plain.size(), 20 * static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
    return plain;
}

// 6 December 2026 01:05:00 UTC
constexpr std::time_t kWhen = 1796519100;

}  // namespace

TEST(CModuleLog, OnlyLevelOneOpensALogWithItsBannerAndLines) {
    for (const char* values : {"\"LoggingLevel\"=dword:00000000\n", "", "\"LoggingLevel\"=dword:00000002\n"}) {
        TestHome home;
        WriteLogSettings(home, std::string("\"LogDir\"=\"") + home.Path() + "\"\n" + values);
        CModuleLog log;
        log.OpenAt("SOFTWARE\\Fenwarde\\Velmora", "Corvane", false, kWhen);
        log.Write("ignored");
        EXPECT_FALSE(log.IsOpen());
        EXPECT_EQ(LogFiles(home.Path()), 0u) << values;
    }

    // Level one: the file name, the banner and the lines.
    TestHome home;
    const std::string dir = home.File("logs");
    std::filesystem::create_directory(dir);
    WriteLogSettings(home, "\"LogDir\"=\"" + dir + "\"\n\"LoggingLevel\"=dword:00000001\n");
    CModuleLog log;
    log.OpenAt("SOFTWARE\\Fenwarde\\Velmora", "Corvane", false, kWhen);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(log.FilePath(), dir + "/061220260105.log");
    log.Write("first line");
    log.Close();
    log.Write("after close");
    const std::string rule(69, '=');
    EXPECT_EQ(Unstamped(dir + "/061220260105.log"),
              rule + "\n\tModule := Corvane\n\tDate = 6-12-2026  Time = 1:5\n" + rule + "\nfirst line\n");

    // An empty directory means the home; threads do not interleave.
    TestHome other;
    WriteLogSettings(other, "\"LoggingLevel\"=dword:00000001\n");
    CModuleLog shared;
    shared.OpenAt("SOFTWARE\\Fenwarde\\Velmora", "Corvane", false, kWhen);
    ASSERT_EQ(shared.FilePath(), other.File("061220260105.log"));
    const std::string row(200, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) shared.Write(row);
        });
    for (auto& t : threads) t.join();
    shared.Close();
    const std::string all = Unstamped(other.File("061220260105.log"));
    std::size_t rows = 0, pos = all.find(std::string(69, '=') + "\n", 80) + 70;
    while (pos < all.size()) {
        std::size_t nl = all.find('\n', pos);
        ASSERT_EQ(all.substr(pos, nl - pos), row);
        ++rows;
        pos = nl + 1;
    }
    EXPECT_EQ(rows, 800u);
}

TEST(CModuleLog, ARestartInTheSameMinuteKeepsTheEarlierRunsLines) {
    TestHome home;
    WriteLogSettings(home, "\"LoggingLevel\"=dword:00000001\n");
    const std::string lines[] = {"last words before the crash", "started again 40 s later"};
    for (int run = 0; run < 2; ++run) {
        CModuleLog log;
        log.OpenAt("SOFTWARE\\Fenwarde\\Velmora", "Corvane", false, kWhen + 40 * run);
        log.Write(lines[run]);
    }
    const std::string rule(69, '=');
    const std::string banner = rule + "\n\tModule := Corvane\n\tDate = 6-12-2026  Time = 1:5\n" + rule + "\n";
    EXPECT_EQ(Unstamped(home.File("061220260105.log")), banner + lines[0] + "\n" + banner + lines[1] + "\n");
}

TEST(CModuleLog, StampsShowTheLocalTime) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    for (const auto& [zone, text] :
         {std::pair{"UTC0", "2026-12-06 01:05:00 "}, std::pair{"EST5", "2026-12-05 20:05:00 "}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(CModuleLog::Stamp(kWhen), text) << zone;
    }
    saved ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// A run past midnight (UTC) goes on in a new file; the earlier day's file is
// compressed, whole, and files past the retention go, others stay.
TEST(CModuleLog, EachDayHasItsFileAndOldDaysAreCompressedThenRemoved) {
    TestHome home;
    const std::string dir = home.File("logs");
    std::filesystem::create_directory(dir);
    TestHome::WriteFile(home.File("settings.reg"),
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Corvane]\n\"LogDir\"=\"" + dir +
                            "\"\n\"LoggingLevel\"=dword:00000001\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\"
                            "Preferences]\n\"LogRetentionDays\"=dword:00000003\n");
    TestHome::WriteFile(dir + "/010920260000.log", "long ago\n");    // past the retention
    TestHome::WriteFile(dir + "/040920260000.log.gz", "old zip\n");  // likewise
    TestHome::WriteFile(dir + "/notes.log", "an administrator's\n");
    CModuleLog log;
    log.OpenAt("SOFTWARE\\Fenwarde\\Velmora", "Corvane", false, kWhen);
    log.Write("first day");
    log.RollForTest(kWhen + 86400);
    log.Write("second day");
    EXPECT_EQ(log.FilePath(), dir + "/071220260105.log");
    log.Close();
    EXPECT_FALSE(std::filesystem::exists(dir + "/010920260000.log"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/040920260000.log.gz"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/notes.log"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/061220260105.log"));
    const RunResult unzipped = RunProgram({"gzip", "-dc", dir + "/061220260105.log.gz"}, std::chrono::seconds(10));
    EXPECT_NE(unzipped.output.find("first day"), std::string::npos) << unzipped.output;
    EXPECT_EQ(unzipped.output.find("second day"), std::string::npos);
    EXPECT_NE(TestHome::ReadFile(dir + "/071220260105.log").find("second day"), std::string::npos);
}
