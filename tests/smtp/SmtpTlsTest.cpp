// Opportunistic STARTTLS meets a server that offers it and breaks the
// handshake: the same server is tried again in the clear, without STARTTLS.
#include <gtest/gtest.h>

#include <atomic>

#include "TestHome.h"
#include "TestPeers.h"
#include "smtp/CSmtpConnection.h"

TEST(SmtpTlsTest, BrokenHandshakeRetriesTheSameServerInTheClear) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    std::atomic<int> connection{0};
    std::string second;
    ScriptedPeer peer(
        [&](PeerLink& link) {
            const bool first = ++connection == 1;
            std::string line;
            link.Send("220 peer.test ESMTP\r\n");
            if (link.ReadLine(line)) link.Send("250-peer.test\r\n250 STARTTLS\r\n");
            for (; link.ReadLine(line, std::chrono::seconds(5)) && !first; second += line) link.Send("250 ok\r\n");
            // The first session's handshake meets a line that is no TLS record.
            if (first) link.Send("220 go ahead\r\nno TLS here\r\n");
        },
        2);
    CSmtpConnection smtp;
    smtp.SetBoundedReplies(true);
    smtp.SetTlsPolicy(CSmtpConnection::TlsPolicy::Opportunistic);
    ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), CSmtpConnection::kConnected);
    EXPECT_FALSE(smtp.IsEncrypted());
    EXPECT_TRUE(smtp.MailFrom("<a@example.org>"));
    smtp.Disconnect();
    peer.Join();
    EXPECT_EQ(second, "Mail From: <a@example.org>\r\n");
}
