// The Netware exchange against the real database, mail store and a loopback
// SMTP server standing in for the local one: the export on delivery (with
// and without a mailbox copy, two in one second, the fall-backs) and the
// import of outbox files (sent and deleted only after 250, kept or set
// aside otherwise).
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <utility>

#include "MailFlowFixture.h"
#include "delivery/CNetwareExport.h"
#include "spool/CNetwareImport.h"

namespace {

namespace fs = std::filesystem;

class NetwareExchangeTest : public MailFlowTest {
protected:
    void SetUp() override {
        MailFlowTest::SetUp();
        if (HasFatalFailure()) return;
        netware = home.File("netware");
        fs::create_directory(netware);
        bob = Create("bob");
    }
    void Exchange(bool leaveCopy, const std::string& directory = "") {
        NetwareSettings settings{directory.empty() ? netware : directory, "bob", "example.org", leaveCopy};
        ASSERT_TRUE(CNetwareExport::SaveNetwareSettings(Connection(), bob, settings));
    }
    // Names in the directory, sorted.
    static std::vector<std::string> Names(const std::string& directory) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(directory)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // An outbox file last written a minute ago (settled).
    std::string Drop(const std::string& name, const std::string& text) {
        const std::string path = netware + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        const timeval old[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
        ::utimes(path.c_str(), old);
        return path;
    }
    CNetwareImport::Outcome Import(const std::string& path) {
        return CNetwareImport::ImportNetwareFile(Connection(), path, std::time(nullptr));
    }

    std::string netware;
    long bob = 0;
};

const std::string kClientFile =
    "From: Bob/BOB\r\nTo: Carol <carol@example.org>, dave@example.org (Dave)\r\nSubject: Out\r\n\r\nBody\r\n";

}  // namespace

TEST_F(NetwareExchangeTest, ExportTakesTheMessageOrLeavesACopyAndKeepsTwoOfOneSecond) {
    auto account = Account("bob");
    const std::string text = Message(200000);  // more than one copy block
    Exchange(false);
    Deliver(*account, text);
    EXPECT_FALSE(account->DeliveryFailed());
    EXPECT_EQ(StoredMessages(bob), 0) << "the client's file is the only copy";
    std::vector<std::string> names = Names(netware);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].ends_with(".cnm"));
    EXPECT_EQ(Read(netware + "/" + names[0]), text);

    Exchange(true);
    Deliver(*account, text);
    EXPECT_EQ(StoredMessages(bob), 1);
    EXPECT_EQ(Names(netware).size(), 2u);

    // Two messages of one second: the second takes a numbered name.
    fs::remove_all(netware);
    fs::create_directory(netware);
    std::tm when{};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 7, when.tm_hour = 9, when.tm_min = 5, when.tm_sec = 3;
    when.tm_isdst = -1;
    const std::time_t second = std::mktime(&when);
    NetwareSettings settings{netware, "bob", "example.org", false};
    for (const std::string& body : {Message(100), Message(300)}) {
        auto content = Content(body);
        std::string problem;
        EXPECT_EQ(CNetwareExport::ExportToNetware(settings, *content, static_cast<std::uint32_t>(body.size()), second,
                                                  nullptr, problem),
                  CNetwareExport::Result::Taken)
            << problem;
    }
    EXPECT_EQ(Names(netware), (std::vector<std::string>{"7953.cnm", "7953_1.cnm"}));
    EXPECT_EQ(Read(netware + "/7953.cnm"), Message(100));
    EXPECT_EQ(Read(netware + "/7953_1.cnm"), Message(300));
}

TEST_F(NetwareExchangeTest, SettingsKeptBetweenMessagesFollowAChangeInTheTableAlsoWithoutTheNewerTriggers) {
    const std::string row =
        "INSERT INTO Netware VALUES(" + std::to_string(bob) + ",true,'" + netware + "','bob','example.org',false)";
    // Changes made straight in the table reach the very next message.
    Deliver(*Account("bob"), Message(100));
    ASSERT_TRUE(Exec(row));
    Deliver(*Account("bob"), Message(100));
    ASSERT_TRUE(Exec("DELETE FROM Netware"));
    Deliver(*Account("bob"), Message(100));
    EXPECT_EQ(StoredMessages(bob), 2);
    EXPECT_EQ(Names(netware).size(), 1u);

    // A database set up before these settings were watched has no trigger to
    // tell of the change: they are read afresh for every message.
    const bool postgres = OdbcStatement::DialectOf(Connection()).GetBackend() == SqlDialect::Backend::PostgreSQL;
    for (const auto& [trigger, table] : {std::pair{"RecordVersion_Netware_INSERT", "Netware"},
                                         std::pair{"RecordVersion_mailmonitor_DELETE", "mailmonitor"}})
        ASSERT_TRUE(Exec(std::string("DROP TRIGGER ") + trigger + (postgres ? std::string(" ON ") + table : "")));
    CMailDatabase old;
    ASSERT_TRUE(old.Connect());
    auto deliver = [&] {
        std::unique_ptr<CLocalAccount> account(old.LookupLocalAccount("bob"));
        ASSERT_TRUE(account);
        Deliver(*account, Message(100));
    };
    deliver();
    ASSERT_TRUE(Exec(row));
    deliver();
    EXPECT_EQ(StoredMessages(bob), 3);
    EXPECT_EQ(Names(netware).size(), 2u);
}

TEST_F(NetwareExchangeTest, AFailedOrShortExportLeavesNothingAndTheMailboxKeepsTheMessage) {
    auto account = Account("bob");
    Exchange(false, home.File("gone"));  // a vanished directory
    Deliver(*account, Message(500));
    EXPECT_FALSE(account->DeliveryFailed());
    EXPECT_EQ(StoredMessages(bob), 1);

    // A content shorter than the length it was handed with is no copy.
    NetwareSettings settings{netware, "bob", "example.org", false};
    auto content = Content(Message(1000));
    std::string problem;
    EXPECT_EQ(CNetwareExport::ExportToNetware(settings, *content, 5000, std::time(nullptr), nullptr, problem),
              CNetwareExport::Result::Failed);
    EXPECT_NE(problem.find("1000 of 5000"), std::string::npos) << problem;
    EXPECT_TRUE(Names(netware).empty()) << "the partial file is removed";

    // Saving: off deletes the row, a value with a quote is stored as given.
    EXPECT_TRUE(CNetwareExport::SaveNetwareSettings(Connection(), bob, std::nullopt));
    EXPECT_FALSE(CNetwareExport::LoadNetwareSettings(Connection(), bob));
    NetwareSettings quoted{"/srv/o'neil", "o'neil", "example.org", true};
    ASSERT_TRUE(CNetwareExport::SaveNetwareSettings(Connection(), bob, quoted));
    EXPECT_EQ(CNetwareExport::LoadNetwareSettings(Connection(), bob), quoted);
}

TEST_F(NetwareExchangeTest, AnOutboxFileIsSentAsTheAccountAndDeletedOnlyAfterTheServerTookIt) {
    Exchange(false);
    const std::string path = Drop("out.cnm", kClientFile);
    EXPECT_EQ(Import(path), CNetwareImport::Outcome::Delivered);
    EXPECT_FALSE(fs::exists(path));
    std::string envelope;
    const std::string sent = Notice(1, &envelope);
    EXPECT_EQ(envelope, "bob@example.org\ncarol@example.org\ndave@example.org\n");
    EXPECT_EQ(sent.substr(0, sent.find("\r\n")), "From: \"\"<bob@example.org>");
    EXPECT_NE(sent.find("Subject: Out\r\n\r\nBody"), std::string::npos) << sent;

    // No server to take it: the file stays for the next scan.
    SetSettingDword(settings::kPortsKeyPath, "SMTP Port", 1);
    const std::string again = Drop("again.cnm", kClientFile);
    EXPECT_EQ(Import(again), CNetwareImport::Outcome::Kept);
    EXPECT_EQ(Read(again), kClientFile);
}

TEST_F(NetwareExchangeTest, FilesThatAreNoMessageAreSetAsideAndUnfinishedOnesWait) {
    Exchange(false);
    const struct {
        const char* name;
        std::string text;
    } bad[] = {
        {"empty.cnm", ""},
        {"cut.cnm", "From: Bob/BOB\r\nTo: carol@example.org\r\nSubject: cut off"},
        {"binary.cnm", std::string("From: Bob/BOB\r\n\0\x01\x02\r\n\r\n", 22)},
        {"prose.cnm", "Dear Carol,\r\nsee you.\r\n"},
    };
    for (const auto& file : bad) {
        const std::string path = Drop(file.name, file.text);
        EXPECT_EQ(Import(path), CNetwareImport::Outcome::SetAside) << file.name;
        EXPECT_TRUE(fs::exists(path + ".bad")) << file.name;
    }
    // Just written: left alone. An unknown login: kept, as is its text.
    const std::string fresh = netware + "/fresh.cnm";
    std::ofstream(fresh, std::ios::binary) << kClientFile;
    EXPECT_EQ(Import(fresh), CNetwareImport::Outcome::Kept);
    const std::string stranger = Drop("stranger.cnm", "From: /NOBODY\r\nTo: carol@example.org\r\n\r\nx\r\n");
    EXPECT_EQ(Import(stranger), CNetwareImport::Outcome::Kept);
    EXPECT_TRUE(fs::exists(fresh) && fs::exists(stranger));
    EXPECT_EQ(Notices(), 0);
}
