// The Netware exchange through the real program: an account set up with
// `velmora account netware` gets its mail as ".cnm" files (with and without
// a mailbox copy), and a file a client drops into the outbox directory set
// with `velmora gateway set` reaches its local recipient through the
// server's SMTP port at the gateway's next due tick. The gateway and the
// file event sink run in the test with an injected clock, so the tick falls
// in the set minute at once; the running server's own gateway is set to a
// time half a day away.
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "E2eFixture.h"
#include "SmtpClient.h"
#include "app/CEventThread.h"
#include "app/CNetwareGateway.h"
#include "app/SinkMessages.h"
#include "foundation/CMailDatabase.h"
#include "foundation/StringFormat.h"
#include "platform/MessageThreadOwner.h"
#include "spool/CNetwareImport.h"

namespace {

namespace fs = std::filesystem;

using E2eNetware = E2eFixture;

std::vector<std::string> ClientFiles(const std::string& directory) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(directory))
        if (e.path().extension() == ".cnm") files.push_back(e.path().string());
    return files;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(E2eNetware, DeliveryWritesClientFilesAndTheGatewaySendsTheOutboxAtItsDueTick) {
    const std::string mailDir = home.File("netware-alice");
    const std::string outbox = home.File("netware-outbox");
    fs::create_directory(mailDir);
    fs::create_directory(outbox);
    const std::time_t start = std::time(nullptr);
    std::tm local{};
    localtime_r(&start, &local);
    const int hour = (local.tm_hour + 12) % 24;
    RunResult result = home.Velmora({"account", "netware", "alice", "--dir", mailDir, "--address", "alice@localhost"});
    ASSERT_EQ(result.status, 0) << result.output;
    result = home.Velmora({"gateway", "set", "--at", StringPrintf("%02d:30", hour), "--outbox", outbox});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Gateway updated"), std::string::npos) << result.output;
    StartServer();

    SmtpClient client;
    Open(client);
    const std::string text = "From: bob@localhost\r\nTo: alice@localhost\r\nSubject: for the client\r\n\r\nfirst\r\n";
    ASSERT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text)), 250);
    ASSERT_TRUE(WaitUntil([&] { return ClientFiles(mailDir).size() == 1; }, kDeliveryWait));
    EXPECT_NE(Read(ClientFiles(mailDir)[0]).find("Subject: for the client\r\n\r\nfirst"), std::string::npos);
    EXPECT_TRUE(home.InboxFiles("alice").empty()) << "no mailbox copy without --leave-copy";

    result =
        home.Velmora({"account", "netware", "alice", "--dir", mailDir, "--address", "alice@localhost", "--leave-copy"});
    ASSERT_EQ(result.status, 0) << result.output;
    ASSERT_EQ(Code(Transaction(client, "bob@localhost", {"alice@localhost"}, text)), 250);
    ASSERT_TRUE(WaitForMail("alice", 1));
    EXPECT_EQ(ClientFiles(mailDir).size(), 2u);

    // Alice's client leaves a message for bob; it was written a minute ago.
    const std::string dropped = outbox + "/1.cnm";
    std::ofstream(dropped, std::ios::binary)
        << "From: Alice/alice\r\nTo: Bob <bob@localhost>\r\nSubject: from the client\r\n\r\nsent by Netware\r\n";
    const timeval written[2] = {{start - 60, 0}, {start - 60, 0}};
    ::utimes(dropped.c_str(), written);

    CMailDatabase db;
    ASSERT_TRUE(db.Connect());
    MessageThreadOwner<CEventThread> events;
    events->SetConnection(db.GetConnectionHandle());
    events->SetImportHandler([](SQLHDBC connection, const std::string& path) {
        return CNetwareImport::ImportNetwareFile(connection, path, std::time(nullptr)) != CNetwareImport::Outcome::Kept;
    });
    ASSERT_TRUE(events.Start());
    local.tm_hour = hour;
    local.tm_min = 29;
    local.tm_sec = 40;
    std::time_t now = std::mktime(&local);
    CNetwareGateway gateway(
        [&](const std::string& path) {
            events->GetServerSink()->GetFileSink().Send(sink::kImportNetware,
                                                        reinterpret_cast<WPARAM>(db.GetConnectionHandle()),
                                                        reinterpret_cast<LPARAM>(path.c_str()));
        },
        [&] { return now; });
    gateway.OnGatewayTimer();
    EXPECT_EQ(gateway.ScanCount(), 0u);
    EXPECT_TRUE(fs::exists(dropped)) << "not due before the minute";
    now += 60;
    gateway.OnGatewayTimer();
    EXPECT_EQ(gateway.ScanCount(), 1u);
    EXPECT_FALSE(fs::exists(dropped)) << "deleted once the server took it";
    // The file appears before it is written (the store locks it meanwhile):
    // wait for its last line.
    std::string mail;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<std::string> texts = home.InboxTexts("bob");
            mail = texts.empty() ? std::string() : texts[0];
            return mail.find("sent by Netware") != std::string::npos;
        },
        kDeliveryWait));
    EXPECT_NE(mail.find("From: \"\"<alice@localhost>\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("sent by Netware"), std::string::npos) << mail;
    now += 20;
    gateway.OnGatewayTimer();
    EXPECT_EQ(gateway.ScanCount(), 1u) << "one scan in the minute";
    events.Stop();
}
