// The Netware gateway's schedule and scan on a provisioned home's settings:
// every N ticks, once in the set minute, the count restarted by a change of
// mode, and which outbox files a scan hands over.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestHome.h"
#include "app/CNetwareGateway.h"

TEST(CNetwareGateway, SchedulesByTicksOrMinuteAndHandsOverTheOutboxFiles) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    const std::string outbox = home.File("outbox");
    std::filesystem::create_directory(outbox);
    for (const char* name : {"b.cnm", "a.CNM", ".part.cnm", "c.cnm.bad", "notes.txt"})
        std::ofstream(outbox + "/" + name) << "x";

    std::vector<std::string> handed;
    std::tm when{};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 7, when.tm_hour = 9, when.tm_min = 29, when.tm_sec = 50;
    when.tm_isdst = -1;
    std::time_t now = std::mktime(&when);
    CNetwareGateway gateway([&](const std::string& path) { handed.push_back(path); }, [&] { return now; });
    const auto dueTicks = [&](int ticks) {
        std::string pattern;
        for (int i = 0; i < ticks; ++i, now += 60) pattern += gateway.IsGatewayDue() ? 'D' : '.';
        return pattern;
    };

    CNetwareGateway::Settings settings{false, 0, 0, 3, outbox};
    ASSERT_TRUE(CNetwareGateway::WriteSettings(settings));
    EXPECT_EQ(dueTicks(7), "..D..D.");
    settings.at = true, settings.hour = 9, settings.minutes = 37;
    ASSERT_TRUE(CNetwareGateway::WriteSettings(settings));
    now -= 1;  // 09:36:49, then 09:37:49
    EXPECT_EQ(dueTicks(2), ".D");
    now -= 61;  // a second tick in 09:37 does not scan again
    EXPECT_EQ(dueTicks(1), ".");
    settings.at = false;
    ASSERT_TRUE(CNetwareGateway::WriteSettings(settings));
    EXPECT_EQ(dueTicks(3), "..D") << "the count starts again with the mode";
    settings.everyMinutes = 0;
    ASSERT_TRUE(CNetwareGateway::WriteSettings(settings));
    EXPECT_EQ(dueTicks(4), "....");

    EXPECT_EQ(gateway.ScanNetwareOutbox(), 2u);
    EXPECT_EQ(handed, (std::vector<std::string>{outbox + "/a.CNM", outbox + "/b.cnm"}));
    EXPECT_FALSE(gateway.IsBusy());
}
