// Reply reading and the session steps against scripted peers: replies split
// over blocks, lines without their line feed, peers that close, stall or
// never stop talking, refused DATA, and what goes out on the wire.
#include <atomic>
#include <chrono>
#include <thread>

#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/StatusWindow.h"
#include "smtp/CSmtpConnection.h"

using namespace std::chrono_literals;

namespace {

void Greet(PeerLink& link, std::string* helo = nullptr) {
    std::string line;
    link.Send("220 peer ready\r\n");
    link.ReadLine(line);
    if (helo) *helo = line;
    link.Send("250 hello\r\n");
}

std::vector<StatusMessage> Drain(StatusWindowQueue& window) {
    std::vector<StatusMessage> all;
    for (StatusMessage m; window.Get(m);) all.push_back(m);
    return all;
}

class SmtpReplyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home.Provision()); }
    TestHome home;
};

}  // namespace

TEST_F(SmtpReplyTest, MultiLineRepliesAcrossBlocksGiveTheFinalCode) {
    std::atomic<bool> clientSpokeEarly{false};
    ScriptedPeer peer([&](PeerLink& link) {
        // Greeting: hyphen lines in one block, the final line split inside its code.
        link.Send("220-first line\r\n220-second line\r\n22");
        std::this_thread::sleep_for(50ms);
        link.Send("0 ready\r\n");
        std::string line;
        link.ReadLine(line);
        // HELO reply: the bare code, its line feed late.
        link.Send("250");
        if (link.Readable(200ms)) clientSpokeEarly = true;
        link.Send("\r\n");
        link.ReadLine(line);  // Rset
        link.Send("250-a 250 inside text\r\n250-b\r\n250 done\r\n");
        link.ReadLine(line);  // Rset
        link.Send("250 ok\r\n");
    });
    CSmtpConnection smtp;
    ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1);
    EXPECT_FALSE(clientSpokeEarly) << "the reply was taken before its line feed";
    EXPECT_TRUE(smtp.Reset());
    // The previous reply was consumed up to its final line, so replies stay in step.
    EXPECT_TRUE(smtp.Reset());
}

TEST_F(SmtpReplyTest, BrokenRepliesGiveTheEmptyCode) {
    {  // closed in the middle of a multi-line reply
        ScriptedPeer peer([](PeerLink& link) { link.Send("220-hello\r\n220-more"); });
        CSmtpConnection smtp;
        EXPECT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 0);
        EXPECT_FALSE(smtp.IsConnected());
    }
    {  // a reply that never ends is cut off, not buffered
        ScriptedPeer peer([](PeerLink& link) {
            const std::string line = "220-" + std::string(500, 'x') + "\r\n";
            for (int i = 0; i < 100000 && link.Send(line); ++i) {
            }
        });
        CSmtpConnection smtp;
        EXPECT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 0);
    }
    {  // a final line that never ends, as one endless line
        ScriptedPeer peer([](PeerLink& link) {
            link.Send("220 ");
            const std::string chunk(4096, 'y');
            for (int i = 0; i < 100000 && link.Send(chunk); ++i) {
            }
        });
        CSmtpConnection smtp;
        EXPECT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 0);
    }
}

TEST_F(SmtpReplyTest, SilentPeerEndsAfterTheReplyWait) {
    // Waiting for replies comes with mail-exchanger look-up; no name server
    // answers here, so the domain (a loopback address) is connected directly.
    SetSettingString(settings::kDnsKeyPath, "#1", "127.0.0.1:" + std::to_string(ClosedPort()));
    for (const char* stall : {"", "220 no line feed"}) {
        ScriptedPeer peer([&](PeerLink& link) {
            link.Send(stall);
            std::string rest;
            link.ReadUntil("never", rest, 5s);  // until the client gives up and closes
        });
        CSmtpConnection smtp;
        smtp.SetReplyWait(300ms);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(smtp.Connect("127.0.0.1", peer.Port(), true), 0) << stall;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << stall;
    }
}

TEST_F(SmtpReplyTest, GreetingNameAndCommandLines) {
    std::string helo[3], received;
    ScriptedPeer peer(
        [&](PeerLink& link) {
            static int session = 0;
            Greet(link, &helo[session++]);
            for (int i = 0; i < 5; ++i) {
                std::string line;
                if (!link.ReadLine(line)) return;
                received += line;
                link.Send("250 ok\r\n");
            }
        },
        3);
    for (bool own : {false, true}) {  // a blank name; this machine's when it has none
        CSmtpConnection smtp;
        own ? smtp.SetOwnName("vm.") : smtp.SetHeloName(" \t ");
        ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1);
    }
    CSmtpConnection smtp;
    smtp.SetHeloName("  mail.example.org \r\n");
    ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1);
    EXPECT_TRUE(smtp.MailFrom("Sender Name <sender@example.org> (x)"));
    EXPECT_TRUE(smtp.MailFrom("<>"));
    EXPECT_TRUE(smtp.MailFrom("broken <sender@example.org"));
    EXPECT_TRUE(smtp.RcptTo("\"Bob (B)\" (comment) <bob@example.org> (another)"));
    EXPECT_TRUE(smtp.RcptTo("carol@example.org (unclosed comment"));
    // A line break inside an address would be a second command: never sent.
    EXPECT_FALSE(smtp.RcptTo("<eve@example.org>\r\nRCPT TO:<mallory@example.org>"));
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(helo[0], "HELO localhost\r\n");
    EXPECT_EQ(helo[1], "HELO [127.0.0.1]\r\n");
    EXPECT_EQ(helo[2], "HELO mail.example.org\r\n");
    EXPECT_EQ(received,
              "Mail From: <sender@example.org>\r\n"
              "Mail From: <>\r\n"
              "Mail From: <>\r\n"
              "Rcpt To: <bob@example.org>\r\n"
              "Rcpt To: <carol@example.org>\r\n");
}

TEST_F(SmtpReplyTest, RefusedDataAndRefusedEndArePostedByCode) {
    std::string wire;
    ScriptedPeer peer([&](PeerLink& link) {
        Greet(link);
        std::string line;
        link.ReadLine(line);  // Data
        link.Send("554 5.3.0 no data today\r\n");
        link.ReadLine(line);  // Data
        link.Send("354 go ahead\r\n");
        link.ReadUntil("\r\n.\r\n", wire);
        link.Send("552 5.3.4 too big\r\n");
    });
    CSmtpConnection smtp;
    StatusWindowQueue window;
    smtp.SetProgressWindow(&window);
    ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1);
    auto content = Content("Subject: x\r\n\r\nbody");
    EXPECT_FALSE(smtp.SendData(*content));
    EXPECT_FALSE(smtp.SendData(*content));
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(wire, "Subject: x\r\n\r\nbody\r\n.\r\n");
    const auto posted = Drain(window);
    ASSERT_EQ(posted.size(), 4u);
    for (std::size_t i : {0, 3}) EXPECT_EQ(posted[i].message, StatusWindow::kStatusLine);
    EXPECT_EQ(posted[0].text + " " + posted[3].text, "554 552");
    EXPECT_EQ(posted[3].wparam, 0u);
}

TEST_F(SmtpReplyTest, EmptyContentAndClosedWindow) {
    std::string wire;
    ScriptedPeer peer([&](PeerLink& link) {
        Greet(link);
        std::string line;
        link.ReadLine(line);
        wire += line;
        link.Send("354 go ahead\r\n");
        link.ReadUntil("\r\n.\r\n", line);
        wire += line;
        link.Send("250 queued\r\n");
    });
    CSmtpConnection smtp;
    StatusWindowQueue window;
    window.Close();  // a window that no longer exists receives nothing
    smtp.SetProgressWindow(&window);
    ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1);
    CTempMailContent content;
    ASSERT_TRUE(content.Open());
    EXPECT_TRUE(smtp.SendData(content));
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(wire, "Data\r\n\r\n.\r\n");
    EXPECT_EQ(window.Pending(), 0u);
}
