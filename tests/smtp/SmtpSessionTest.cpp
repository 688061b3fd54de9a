// Whole sessions against a real SMTP server (aiosmtpd) that records what it
// accepted: envelopes, the message bytes after the server removed the dot
// stuffing, block sizes and progress of the transfer.
#include <cstring>
#include <vector>

#include "ScriptedContent.h"
#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "platform/StatusWindow.h"
#include "smtp/CSmtpConnection.h"

namespace {

// Records what leaves for the peer, one entry per send.
class RecordingConnection : public CSmtpConnection {
public:
    std::vector<std::string> sends;

protected:
    bool SendRaw(const char* data, std::size_t length) override {
        sends.emplace_back(data, length);
        return CSmtpConnection::SendRaw(data, length);
    }
};

class SmtpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        ASSERT_TRUE(server.Start(home.File("received")));
    }
    // Opens a session and sends one message to one recipient.
    bool Send(CSmtpConnection& smtp, const std::string& text) {
        auto content = Content(text);
        return smtp.MailFrom("<sender@example.org>") && smtp.RcptTo("<rcpt@example.org>") && smtp.SendData(*content);
    }

    TestHome home;
    SmtpPeer server;
};

}  // namespace

TEST_F(SmtpSessionTest, EnvelopeAndRecipientReplies) {
    CSmtpConnection smtp;
    smtp.SetHeloName("client.example.org");
    ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port(), false), 1);
    EXPECT_TRUE(smtp.MailFrom("Sender Name <sender@example.org>"));
    EXPECT_TRUE(smtp.RcptTo("Bob (the builder) <bob@example.org> (work)"));
    EXPECT_TRUE(smtp.RcptTo("forward@example.org"));  // 251 counts as accepted
    EXPECT_FALSE(smtp.RcptTo("<refused@example.org>"));
    EXPECT_TRUE(smtp.RcptTo("carol@example.org (Carol"));
    EXPECT_TRUE(smtp.SendData(*Content("Subject: hello\r\n\r\nHi.\r\n")));
    // The next message starts straight with MAIL; an abandoned one is reset.
    EXPECT_TRUE(smtp.MailFrom("<>"));
    EXPECT_TRUE(smtp.Reset());
    smtp.Quit();
    smtp.Disconnect();

    std::string envelope;
    EXPECT_EQ(server.Message(1, &envelope), "Subject: hello\r\n\r\nHi.\r\n");
    EXPECT_EQ(envelope, "sender@example.org\nbob@example.org\nforward@example.org\ncarol@example.org\n");
    EXPECT_EQ(server.MessageCount(), 1);
}

TEST_F(SmtpSessionTest, TwelveThousandBytesGoOutInBlocksOf5120) {
    std::string message;
    while (message.size() < 12000) message += "Line of the message body " + std::to_string(message.size()) + "\r\n";
    message.resize(11998);
    message += "\r\n";
    ASSERT_EQ(message.size(), 12000u);

    RecordingConnection smtp;
    StatusWindowQueue window;
    smtp.SetProgressWindow(&window);
    ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port(), false), 1);
    smtp.sends.clear();
    ASSERT_TRUE(Send(smtp, message));

    // MAIL, RCPT, DATA, three blocks, the end-of-data line.
    ASSERT_EQ(smtp.sends.size(), 7u);
    EXPECT_EQ(smtp.sends[2], "Data\r\n");
    EXPECT_EQ(smtp.sends[3].size(), 5120u);
    EXPECT_EQ(smtp.sends[4].size(), 5120u);
    EXPECT_EQ(smtp.sends[5].size(), 1760u);
    EXPECT_EQ(smtp.sends[6], ".\r\n");  // the message already ends with CR LF

    std::vector<std::pair<unsigned, std::string>> posted;
    for (StatusMessage m; window.Get(m);) {
        EXPECT_EQ(m.wparam, 0u);
        posted.emplace_back(m.message, m.message == StatusWindow::kProgressPercent ? std::to_string(m.lparam) : m.text);
    }
    const std::vector<std::pair<unsigned, std::string>> expected = {{0x49A, "5120 Bytes Sent Out Of 12000 bytes"},
                                                                    {0x499, "42"},
                                                                    {0x49A, "10240 Bytes Sent Out Of 12000 bytes"},
                                                                    {0x499, "85"},
                                                                    {0x49A, ""},
                                                                    {0x499, "0"}};
    EXPECT_EQ(posted, expected);

    EXPECT_EQ(server.Message(1), message);

    // The block size is kept for the session's next message.
    EXPECT_EQ(smtp.ChunkSize(), 5120u);
    smtp.sends.clear();
    ASSERT_TRUE(Send(smtp, message));
    EXPECT_EQ(smtp.sends[3].size(), 5120u);
}

TEST_F(SmtpSessionTest, LinesStartingWithADotArriveIntact) {
    // A lone "." line and a command after it must stay message text; a dot
    // at a block boundary must be stuffed too. Block size 0 means the default.
    const std::string smuggling = ".first\r\nbody\r\n.\r\nRCPT TO:<mallory@example.org>\r\n..two\r\nlast line";
    const std::string boundary = "abcde\r\n.fghij\r\n";
    for (std::uint32_t chunk : {5120u, 7u, 1u, 0u}) {
        RecordingConnection smtp;
        smtp.SetChunkSize(chunk);
        if (chunk == 0) {
            EXPECT_EQ(smtp.ChunkSize(), CSmtpConnection::kDefaultChunkSize);
        }
        ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port(), false), 1);
        smtp.sends.clear();
        ASSERT_TRUE(Send(smtp, smuggling)) << chunk;
        EXPECT_EQ(smtp.sends.back(), "\r\n.\r\n");  // no final CR LF: one is added
        ASSERT_TRUE(Send(smtp, boundary)) << chunk;
        smtp.Quit();
    }
    for (int n = 1; n <= 8; n += 2) {
        std::string envelope;
        EXPECT_EQ(server.Message(n, &envelope), smuggling + "\r\n");
        EXPECT_EQ(envelope, "sender@example.org\nrcpt@example.org\n");
        EXPECT_EQ(server.Message(n + 1), boundary);
    }
}

TEST_F(SmtpSessionTest, BareLineBreaksBecomeCrLfAndTheDotAfterThemIsStuffed) {
    // A dot after a bare CR or LF starts a line for the receiver too; a CR
    // split from its LF by a block boundary stays one line end.
    const std::string stored = "a\r.\rb\n.x\r\n.\r\nc\r\rd\n\ne\r";
    const std::string wire = "a\r\n..\r\nb\r\n..x\r\n..\r\nc\r\n\r\nd\r\n\r\ne";
    for (std::uint32_t chunk : {5120u, 2u, 1u}) {
        RecordingConnection smtp;
        smtp.SetChunkSize(chunk);
        ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port(), false), 1);
        smtp.sends.clear();
        ASSERT_TRUE(Send(smtp, stored)) << chunk;
        std::string sent;
        for (std::size_t i = 3; i + 1 < smtp.sends.size(); ++i) sent += smtp.sends[i];
        EXPECT_EQ(sent, wire) << chunk;
        EXPECT_EQ(smtp.sends.back(), "\r\n.\r\n") << chunk;  // the trailing CR's line end, then the end
        smtp.Quit();
    }
    EXPECT_EQ(server.Message(3), "a\r\n.\r\nb\r\n.x\r\n.\r\nc\r\n\r\nd\r\n\r\ne\r\n");
}

TEST_F(SmtpSessionTest, ContentThatFailsMidwayIsNotDelivered) {
    CSmtpConnection smtp;
    ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port(), false), 1);
    ASSERT_TRUE(smtp.MailFrom("<sender@example.org>"));
    ASSERT_TRUE(smtp.RcptTo("<rcpt@example.org>"));
    // Its length promises more than it can deliver.
    ScriptedContent content(std::string(6000, 'z'));
    content.lengthDelta = 14000;
    content.failAfter = 6000;
    EXPECT_FALSE(smtp.SendData(content));
    EXPECT_FALSE(smtp.IsConnected());
    // A later session still works and is the only message delivered.
    CSmtpConnection next;
    ASSERT_EQ(next.Connect("127.0.0.1", server.Port(), false), 1);
    ASSERT_TRUE(Send(next, "complete\r\n"));
    EXPECT_EQ(server.Message(1), "complete\r\n");
    EXPECT_EQ(server.MessageCount(), 1);
}
