// `velmora alias`, `velmora relay` and `velmora remoteaccount` against a real
// home: what they store is what distribution and the relay check read, and
// bad input is refused with its cause and a non-zero exit.
#include <gtest/gtest.h>

#include <sstream>

#include "TestHome.h"
#include "app/AccountCommand.h"
#include "app/AliasCommand.h"
#include "app/RelayCommand.h"
#include "app/RemoteAccountCommand.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CRemoteServerAccounts.h"
#include "foundation/OdbcStatement.h"

namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

template <class Command>
Result Shell(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int rc = 0;
    if constexpr (std::is_same_v<Command, RelayCommand>)
        rc = Command::Run(args, out, err);
    else
        rc = Command::Run(args, in, out, err, false);
    return {rc, out.str(), err.str()};
}

class RemoteAdminCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        for (const char* name : {"alice", "bob"})
            ASSERT_EQ(
                Shell<AccountCommand>({"add", name, "--password", "pw", "--email", std::string(name) + "@x.org"}).rc,
                0);
        ASSERT_TRUE(db.Connect());
    }
    std::string Column(const std::string& sql) {
        OdbcStatement s(db.GetConnectionHandle());
        std::string v, all;
        if (!s.ExecDirect(sql)) return "<failed>";
        while (s.Fetch() && s.GetText(1, v)) all += v + ";";
        return all;
    }
    TestHome home;
    CMailDatabase db;
};

}  // namespace

TEST_F(RemoteAdminCommandTest, AliasesAreStoredFoldedAndRefusalsNameTheCause) {
    EXPECT_EQ(Shell<AliasCommand>({"add", "alice", "bob", "Robert Smith"}).rc, 0);
    EXPECT_EQ(Column("SELECT aUserName || '|' || UserId || '|' || AliasName FROM Aliases"), "alice|bob|robert smith;");
    EXPECT_EQ(Shell<AliasCommand>({"list", "alice"}).out, "robert smith -> bob\n");
    const std::pair<std::vector<std::string>, const char*> refusals[] = {
        {{"add", "nobody", "bob", "x"}, "no account named nobody"},
        {{"add", "alice", "nobody", "x"}, "no account named nobody"},
        {{"add", "alice", "bob", "a;b"}, "cannot be an alias"},
        {{"add", "alice", "alice", "robert smith"}, "leads to bob already"},
        {{"delete", "alice", "bob", "robert smith"}, "not a terminal"},
        {{"delete", "alice", "bob", "bobby", "--yes"}, "has no alias bobby"}};
    for (const auto& [args, says] : refusals) {
        const Result r = Shell<AliasCommand>(args);
        EXPECT_EQ(r.rc, 1) << says;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
    EXPECT_EQ(Shell<AliasCommand>({"delete", "alice", "bob", "Robert Smith", "--yes"}).rc, 0);
    EXPECT_EQ(Column("SELECT AliasName FROM Aliases"), "");
}

TEST_F(RemoteAdminCommandTest, RelayRangesAreStoredInHexAndDeletedByTheirStart) {
    EXPECT_EQ(Shell<RelayCommand>({"add", "10.0.0.1", "10.0.0.255"}).rc, 0);
    EXPECT_EQ(Shell<RelayCommand>({"add", "10.0.0.1"}).rc, 0);
    EXPECT_EQ(Column("SELECT FirstIp || '-' || LastIp FROM RelayAllowed ORDER BY LastIp"),
              "0A000001-0A000001;0A000001-0A0000FF;");
    EXPECT_TRUE(db.IsRelayAllowed("10.0.0.7"));
    EXPECT_FALSE(db.IsRelayAllowed("10.0.1.7"));
    EXPECT_NE(Shell<RelayCommand>({"list"}).out.find("Start IP 10.0.0.1  End IP 10.0.0.255"), std::string::npos);
    EXPECT_NE(Shell<RelayCommand>({"add", "0.0.0.0", "1.2.3.4"}).err.find("Blank Entries Not Allowed"),
              std::string::npos);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"add", "10.0.0.300"}, {"add", "10.0.0.9", "10.0.0.1"}, {"delete", "10.9.9.9"}})
        EXPECT_EQ(Shell<RelayCommand>(bad).rc, 1) << bad[1];
    EXPECT_EQ(Shell<RelayCommand>({"delete", "10.0.0.1"}).out, "2 ranges starting at 10.0.0.1 deleted\n");
    EXPECT_FALSE(db.IsRelayAllowed("10.0.0.7"));
}

TEST_F(RemoteAdminCommandTest, RemoteAccountsKeepTheirPasswordOutOfEveryAnswer) {
    Result r = Shell<RemoteAccountCommand>(
        {"add", "office", "--owner", "alice", "--server", "pop.x.org", "--user", "o'brien", "--alias", "X.org"},
        "pa'ss\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.find("pa'ss"), std::string::npos);
    CRemoteServerAccounts accounts(db.GetConnectionHandle());
    ASSERT_TRUE(accounts.Load());
    ASSERT_EQ(accounts.Count(), 1u);
    const CRemoteServerAccounts::Account& a = accounts.Accounts()[0];
    EXPECT_EQ(a.userId + a.pass + a.aliasAddress, "o'brienpa'ssx.org");
    EXPECT_TRUE(a.alias);
    EXPECT_EQ(a.port, 110);
    r = Shell<RemoteAccountCommand>(
        {"set", "office", "--password", "new", "--leave-on-server", "on", "--port", "1110"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.find("new"), std::string::npos);
    ASSERT_TRUE(accounts.Load());
    EXPECT_EQ(accounts.Accounts()[0].pass, "new");
    EXPECT_EQ(accounts.Accounts()[0].port, 1110);
    EXPECT_TRUE(accounts.Accounts()[0].leaveMailOnServer);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"add", "office", "--owner", "alice", "--server", "s", "--user", "u", "--password", "p"},
             {"set", "office", "--port", "0"},
             {"set", "nothere", "--port", "1"},
             {"add", "o2", "--owner", "nobody", "--server", "s", "--user", "u", "--password", "p"},
             {"delete", "office"}})
        EXPECT_EQ(Shell<RemoteAccountCommand>(bad).rc, 1) << bad[0] << " " << bad[1];
    EXPECT_EQ(Shell<RemoteAccountCommand>({"add", "o3", "--server", "s"}).rc, 64);
    EXPECT_EQ(Shell<RemoteAccountCommand>({"delete", "office", "--yes"}).rc, 0);
}
