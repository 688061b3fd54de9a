// The mail monitor through the real database: the send and receive look-ups
// of routing and the console's list, add and delete of watches.
#include <algorithm>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "store/CMailMonitor.h"

namespace {

class MailMonitorTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        ASSERT_TRUE(db.CreateAccount("boss", "secret1", false, true, "boss@corp.example", 0, 1, 1, 0, 0));
        ASSERT_TRUE(db.CreateAccount("audit", "secret2", false, true, "audit@corp.example", 0, 1, 1, 0, 0));
        ASSERT_TRUE(db.CreateAccount("ohara", "secret3", false, false, "o'hara@corp.example", 0, 1, 1, 0, 0));
        boss = AccountId("boss");
        audit = AccountId("audit");
    }
    int Count() { return std::stoi(Text("SELECT count(*) FROM mailmonitor")); }
    static std::vector<std::string> Sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    long boss = 0, audit = 0;
};

TEST_F(MailMonitorTest, AddingChecksTheSelectionAndInsertsEachWatchOnce) {
    std::vector<MailMonitorEntry> added;
    const std::vector<std::string> two = {"o'hara@corp.example", "ext@partner.example"};
    EXPECT_EQ(CMailMonitor::AddMonitors(Connection(), std::nullopt, true, true, two, added), "Please Select UserName");
    EXPECT_EQ(CMailMonitor::AddMonitors(Connection(), boss, false, false, two, added), "Please Select Type");
    EXPECT_EQ(CMailMonitor::AddMonitors(Connection(), boss, true, false, {}, added), "Please Select Email Address");
    EXPECT_EQ(Count(), 0);

    // Send and Receive for two addresses: four watches.
    EXPECT_EQ(CMailMonitor::AddMonitors(Connection(), boss, true, true, two, added), "");
    EXPECT_EQ(Count(), 4);
    ASSERT_EQ(added.size(), 4u);
    EXPECT_EQ(added[0].userName, "boss");
    EXPECT_EQ(added[0].typeText, "Send");
    EXPECT_EQ(added[1].typeText, "Receive");
    // The same again adds nothing.
    added.clear();
    EXPECT_EQ(CMailMonitor::AddMonitors(Connection(), boss, true, true, two, added), "");
    EXPECT_TRUE(added.empty());
    EXPECT_EQ(Count(), 4);
    EXPECT_EQ(CMailMonitor::AddMonitor(Connection(), boss, "S", "o'hara@corp.example"),
              CMailMonitor::AddResult::AlreadyPresent);
    // An address wider than the column is refused, not cut.
    EXPECT_EQ(CMailMonitor::AddMonitor(Connection(), boss, "S", std::string(250, 'a') + "@x.example"),
              CMailMonitor::AddResult::Failed);
    // ... and through the dialog's Add with its own message, before anything is written.
    EXPECT_NE(CMailMonitor::AddMonitors(Connection(), audit, true, true,
                                        {"new@corp.example", std::string(250, 'a') + "@x.example"}, added)
                  .find("longer than 254"),
              std::string::npos);
    EXPECT_EQ(Count(), 4);
}

TEST_F(MailMonitorTest, LookUpsNameEachWatcherOnce) {
    ASSERT_EQ(CMailMonitor::AddMonitor(Connection(), boss, "S", "o'hara@corp.example"), CMailMonitor::AddResult::Added);
    ASSERT_EQ(CMailMonitor::AddMonitor(Connection(), audit, "S", "o'hara@corp.example"),
              CMailMonitor::AddResult::Added);
    ASSERT_EQ(CMailMonitor::AddMonitor(Connection(), audit, "S", "ext@partner.example"),
              CMailMonitor::AddResult::Added);
    ASSERT_EQ(CMailMonitor::AddMonitor(Connection(), boss, "R", "ext@partner.example"), CMailMonitor::AddResult::Added);

    CMailMonitor nobody;
    EXPECT_TRUE(nobody.FindSendMonitors(Connection(), {"someone@else.example"}).empty());
    EXPECT_TRUE(nobody.FindSendMonitors(Connection(), {}).empty());

    CMailMonitor monitor;
    EXPECT_EQ(Sorted(monitor.FindSendMonitors(Connection(), {"O'HARA@corp.example"})),
              (std::vector<std::string>{"audit", "boss"}));
    // Watched through two addresses, named once.
    monitor.FindSendMonitors(Connection(), {"ext@partner.example", "o'hara@corp.example"});
    EXPECT_EQ(Sorted(monitor.SendList()), (std::vector<std::string>{"audit", "boss"}));
    EXPECT_EQ(monitor.FindReceiveMonitors(Connection(), {"ext@partner.example", "x') or ('1'='1"}),
              (std::vector<std::string>{"boss"}));
}

TEST_F(MailMonitorTest, ListingAndDeleteWorkOnTheShownEntries) {
    std::vector<MailMonitorEntry> added;
    ASSERT_EQ(CMailMonitor::AddMonitors(Connection(), audit, true, true, {"o'hara@corp.example"}, added), "");
    std::vector<MailMonitorEntry> entries;
    ASSERT_TRUE(CMailMonitor::ListMonitors(Connection(), entries));
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.accountId, audit);
        EXPECT_EQ(entry.userName, "audit");
        EXPECT_EQ(entry.address, "o'hara@corp.example");
    }
    std::vector<std::string> addresses;
    ASSERT_TRUE(CMailMonitor::ListWatchableAddresses(Connection(), addresses));
    EXPECT_EQ(Sorted(addresses),
              (std::vector<std::string>{"audit@corp.example", "boss@corp.example", "o'hara@corp.example"}));

    ASSERT_TRUE(CMailMonitor::DeleteMonitor(Connection(), audit, "Send", "o'hara@corp.example"));
    ASSERT_TRUE(CMailMonitor::ListMonitors(Connection(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, "R");
    EXPECT_EQ(entries[0].typeText, "Receive");
    ASSERT_TRUE(CMailMonitor::DeleteMonitor(Connection(), audit, "r", "o'hara@corp.example"));
    EXPECT_EQ(Count(), 0);
}

}  // namespace
