// SMTP authentication: AUTH LOGIN (methods 2 and 3) against a real server
// that demands a login, CRAM-MD5 (method 1) against a scripted server that
// offers nothing else; the diagnostic lines never show a password.
#include <gtest/gtest.h>

#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/SettingsCatalogue.h"
#include "smtp/CSmtpConnection.h"

namespace {

constexpr const char* kUser = "alice";
constexpr const char* kPassword = "s3cret-Pa55";
constexpr const char* kPasswordBase64 = "czNjcmV0LVBhNTU=";

class SmtpAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        // The detail lines are where a password could slip through.
        SetSettingDword("SOFTWARE\\Fenwarde\\Velmora\\Corvane", "VerboseLogging", 1);
        g_moduleLog.Open(settings::kProductKeyPath, settings::kLogModule, false);
        ASSERT_TRUE(g_moduleLog.IsOpen());
        logPath = g_moduleLog.FilePath();
    }
    void TearDown() override { g_moduleLog.Close(); }
    std::string Log() const { return TestHome::ReadFile(logPath); }

    TestHome home;
    std::string logPath;
};

bool SendOne(CSmtpConnection& smtp) {
    CTempMailContent content;
    const std::string text = "Subject: relayed\r\n\r\nbody\r\n";
    return content.Open() && content.Write(text.data(), static_cast<std::uint32_t>(text.size())) &&
           smtp.MailFrom("<alice@example.org>") && smtp.RcptTo("<bob@example.net>") && smtp.SendData(content);
}

}  // namespace

TEST_F(SmtpAuthTest, AuthLoginMethodsLogInToARealServer) {
    SmtpPeer server;
    ASSERT_TRUE(server.Start(home.File("received"), kUser, kPassword, true));
    {  // without a login the server refuses the sender
        CSmtpConnection smtp;
        ASSERT_EQ(smtp.ExtendedConnectToServer("127.0.0.1", server.Port(), false), 1);
        EXPECT_FALSE(smtp.MailFrom("<alice@example.org>"));
    }
    for (int method :
         {CSmtpConnection::kLoginPlainMethod, CSmtpConnection::kAuthLoginMethod, CSmtpConnection::kAuthPlainMethod}) {
        CSmtpConnection smtp;
        ASSERT_EQ(smtp.ExtendedConnectToServer("127.0.0.1", server.Port(), false), 1);
        EXPECT_TRUE(smtp.ExtendedLogin(method, kUser, kPassword)) << method;
        EXPECT_TRUE(SendOne(smtp)) << method;
        smtp.Quit();
    }
    {  // a wrong password is refused by each
        CSmtpConnection smtp;
        ASSERT_EQ(smtp.ExtendedConnectToServer("127.0.0.1", server.Port(), false), 1);
        EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kLoginPlainMethod, kUser, "wrong"));
        EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kAuthLoginMethod, kUser, "wrong"));
        EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kAuthPlainMethod, kUser, "wrong"));
        EXPECT_FALSE(smtp.ExtendedLogin(9, kUser, kPassword));  // no such method
    }
    EXPECT_NE(server.Message(2), "");

    // The detail lines went through every login step, password in hand.
    const std::string log = Log();
    EXPECT_NE(log.find("Authentication success!"), std::string::npos);
    EXPECT_EQ(log.find(kPassword), std::string::npos);
    EXPECT_EQ(log.find(kPasswordBase64), std::string::npos);
}

TEST_F(SmtpAuthTest, CramMd5OnlyServerAcceptsTheRfc2195Answer) {
    std::string answer;
    ScriptedPeer peer([&](PeerLink& link) {
        std::string line;
        link.Send("220 cram.example ESMTP\r\n");
        link.ReadLine(line);
        link.Send("250-cram.example\r\n250-AUTH CRAM-MD5\r\n250 8BITMIME\r\n");
        for (int i = 0; i < 2; ++i) {  // methods 3 and 2 ask for LOGIN
            link.ReadLine(line);
            EXPECT_EQ(line, "AUTH LOGIN\r\n");
            link.Send("504 5.5.4 Unrecognized authentication type\r\n");
        }
        link.ReadLine(line);
        EXPECT_EQ(line, "AUTH CRAM-MD5\r\n");
        link.Send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
        link.ReadLine(answer);
        link.Send(answer == "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" ? "235 2.7.0 ok\r\n"
                                                                                   : "535 5.7.8 no\r\n");
    });
    CSmtpConnection smtp;
    ASSERT_EQ(smtp.ExtendedConnectToServer("127.0.0.1", peer.Port(), false), 1);
    EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kLoginPlainMethod, "tim", "tanstaaftanstaaf"));
    EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kAuthLoginMethod, "tim", "tanstaaftanstaaf"));
    EXPECT_TRUE(smtp.ExtendedLogin(CSmtpConnection::kCramMD5Method, "tim", "tanstaaftanstaaf"));
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(answer, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
    EXPECT_EQ(Log().find("tanstaaftanstaaf"), std::string::npos);
}

TEST_F(SmtpAuthTest, LoginPlainStopsAtAnUnexpectedPrompt) {
    std::string next;
    ScriptedPeer peer([&](PeerLink& link) {
        std::string line;
        link.Send("220 odd.example\r\n");
        link.ReadLine(line);
        link.Send("250 odd.example\r\n");
        link.ReadLine(line);
        link.Send("334 VXNlciBOYW1lAA==\r\n");  // "User Name\0": not the expected prompt
        link.ReadLine(next);                    // the client goes on without waiting
        link.Send("334\n");                     // a challenge block of four characters
        link.ReadLine(line);
        link.Send("221 bye\r\n");
    });
    CSmtpConnection smtp;
    ASSERT_EQ(smtp.ExtendedConnectToServer("127.0.0.1", peer.Port(), false), 1);
    EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kLoginPlainMethod, kUser, kPassword));
    EXPECT_FALSE(smtp.ExtendedLogin(CSmtpConnection::kLoginPlainMethod, kUser, kPassword));
    smtp.Quit();
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(next, "AUTH LOGIN\r\n");
}
