// The server on PostgreSQL when its database server goes away and comes
// back: a cluster of the test's own (scripts/pg-cluster) is paused and
// resumed under the running server. A message accepted meanwhile waits in
// the spool and is delivered once the database is back, recipients asked
// for meanwhile are deferred, not refused, and a start without the database
// ends with one sentence.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include "E2eFixture.h"

// The PostgreSQL driver never frees some strings of a connection; this test
// runs it even when the suite is not on PostgreSQL, where the test script
// would pass the same suppression.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:psqlodbca.so\n";
}

namespace {

using namespace std::chrono_literals;

class E2eDatabaseRestart : public E2eFixture {
protected:
    static void SetUpTestSuite() {
        if (!std::filesystem::exists("/usr/lib/postgresql")) return;
        // The programs this test starts use the driver too.
        ::setenv("LSAN_OPTIONS",
                 ("suppressions=" + TestHome::SourcePath("tests/lsan-postgres.supp") + ":print_suppressions=0").c_str(),
                 0);
        char pattern[] = "/tmp/velmora-pgrestart-XXXXXX";
        if (!::mkdtemp(pattern)) return;
        clusterDir = pattern;
        const RunResult started = Cluster("start");
        if (started.status != 0) {
            std::fprintf(stderr, "pg-cluster start failed: %s\n", started.output.c_str());
            return;
        }
        std::string url, password;
        std::istringstream lines(started.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("export VELMORA_TEST_POSTGRES=")) url = line.substr(line.find('=') + 1);
            if (line.starts_with("export PGPASSWORD=")) password = line.substr(line.find('=') + 1);
        }
        std::string error;
        if (auto target = DataSource::ParsePostgresUrl(url, error)) {
            target->password = password;
            cluster = *target;
        }
    }

    static void TearDownTestSuite() {
        if (!clusterDir.empty()) Cluster("stop");
    }

    static RunResult Cluster(const std::string& action) {
        return RunProgram({TestHome::SourcePath("scripts/pg-cluster"), action, clusterDir}, 120s);
    }

    void SetUp() override {
        if (!cluster) GTEST_SKIP() << "no PostgreSQL cluster could be started (Debian package postgresql)";
        home.UsePostgres(*cluster);
        E2eFixture::SetUp();
        // The spool is listed again (retrying what the missing database held
        // up) every 200 ms instead of every 10 s.
        ASSERT_TRUE(home.SetDword("Preferences", "SpoolScanInterval", 200));
    }

    static inline std::string clusterDir;
    static inline std::optional<DataSource::PostgresTarget> cluster;
};

TEST_F(E2eDatabaseRestart, AcceptedMailWaitsForTheDatabaseAndAStartWithoutItEndsWithOneSentence) {
    StartServer();
    SmtpClient before;
    Open(before);
    ASSERT_EQ(Code(Transaction(before, "carol@remote.test", {"alice@localhost"}, "Subject: one\r\n\r\nfirst")), 250);
    ASSERT_TRUE(WaitForMail("alice", 1));

    // Read now: the rows that name it are out of reach while the database is.
    const std::string aliceInbox = home.InboxOf("alice");

    // Recipients checked, then the database goes: the message is still taken.
    SmtpClient during;
    Open(during);
    ASSERT_EQ(Code(during.Command("MAIL FROM:<carol@remote.test>")), 250);
    ASSERT_EQ(Code(during.Command("RCPT TO:<alice@localhost>")), 250);
    ASSERT_EQ(Cluster("pause").status, 0);
    ASSERT_EQ(Code(during.Command("DATA")), 354);
    ASSERT_EQ(Code(during.Command("Subject: two\r\n\r\nsecond\r\n.")), 250);
    // A recipient that cannot be looked up now is deferred, never refused.
    const int mail = Code(during.Command("MAIL FROM:<carol@remote.test>"));
    if (mail == 250)
        EXPECT_EQ(Code(during.Command("RCPT TO:<bob@localhost>")), 451);
    else
        EXPECT_EQ(mail / 100, 4);
    during.Command("RSET");
    // The server has tried to route it and kept it for later.
    EXPECT_TRUE(WaitUntil([&] { return home.LogText().find("not routed") != std::string::npos; }, kDeliveryWait))
        << home.LogText();
    EXPECT_EQ(home.Files(aliceInbox, "", ".mel").size(), 1u) << "delivered without a database?";
    EXPECT_FALSE(home.SpoolFiles().empty()) << "the accepted message left the spool undelivered";

    ASSERT_EQ(Cluster("resume").status, 0);
    ASSERT_TRUE(WaitForMail("alice", 2)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    EXPECT_NE(home.InboxTexts("alice").back().find("second"), std::string::npos);
    // The shared connection serves recipients again (it tries to reconnect
    // at most once a second, and a try may have failed just before the resume).
    ASSERT_EQ(Code(during.Command("MAIL FROM:<carol@remote.test>")), 250);
    ASSERT_TRUE(WaitUntil([&] { return Code(during.Command("RCPT TO:<bob@localhost>")) == 250; }, kDeliveryWait));
    ASSERT_EQ(Code(during.Command("DATA")), 354);
    ASSERT_EQ(Code(during.Command("Subject: three\r\n\r\nthird\r\n.")), 250);
    ASSERT_TRUE(WaitForMail("bob", 1));
    EXPECT_EQ(home.SqlNumber("SELECT COUNT(*) FROM Mails"), 3);
    StopServer();

    ASSERT_EQ(Cluster("pause").status, 0);
    const RunResult refused = RunProgram({VelmoraProgram(), "--home", home.Path(), "run"}, 60s, ServerEnvironment());
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("velmora run: the mail database cannot be reached"), std::string::npos)
        << refused.output;
    ASSERT_EQ(Cluster("resume").status, 0);
}

}  // namespace
