// The POP3 client's TLS against Dovecot with ssl = required, its
// certificate issued by the test authority for "localhost": STLS on the
// plain port and TLS from the first byte on 995, opportunistic or checked
// (POP3 Require TLS, the authority trusted through TLS\CA File); a wrong name
// and a server without STLS are refused before the password leaves.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "DovecotPeer.h"
#include "TestCertificates.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/CTempMailContent.h"
#include "foundation/SettingsCatalogue.h"
#include "retrieval/CPop3Connection.h"

namespace {

const std::string kMessage = "From: ann@example.org\r\nSubject: tls\r\n\r\n.dot line\r\nbody\r\n";

class Pop3TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        std::string why;
        ASSERT_TRUE(certificates.Make(home.File("pki"), why)) << why;
        SetSettingString(settings::kTlsKeyPath, "CA File", certificates.CaFile());
        dovecot.AddUser("ann", "pw1");
        // 995 means TLS to the client; without it the implicit case is skipped.
        implicitPort = FreePortIs995() ? 995 : 0;
        dovecot.RequireTls(certificates.CertificateFile(), certificates.KeyFile(), implicitPort);
        ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
        ASSERT_TRUE(dovecot.AddMessage("ann", "m1", kMessage));
    }

    static bool FreePortIs995() {
        return RunProgram({"/usr/bin/python3", "-c",
                           "import socket; s = socket.socket(); s.bind(('127.0.0.1', 995))"})
                   .status == 0;
    }

    // Logs in and fetches the one message; "" when all went as expected.
    static std::string Fetch(CPop3Connection& pop, const std::string& host, int port) {
        if (!pop.Connect(host, static_cast<std::uint16_t>(port))) return "connect: " + pop.TlsFailure();
        if (!pop.Login("ann", "pw1")) return "login: " + pop.SessionNote() + " " + pop.LastReply();
        if (!pop.IsEncrypted()) return "not encrypted";
        std::unique_ptr<CTempMailContent> message = pop.RetrieveMessage(1);
        pop.Quit();
        return message ? "" : "no message";
    }

    TestHome home;
    TestCertificates certificates;
    DovecotPeer dovecot;
    int implicitPort = 0;
};

TEST_F(Pop3TlsTest, FetchesOverStlsAndImplicitTlsCheckingTheCertificateWhenRequired) {
    {  // Opportunistic: any certificate will do, even for another name.
        CPop3Connection pop;
        EXPECT_EQ(Fetch(pop, "127.0.0.1", dovecot.Port()), "");
    }
    {  // Required: the authority and the name are checked.
        CPop3Connection pop;
        pop.SetRequireTls(true);
        EXPECT_EQ(Fetch(pop, "localhost", dovecot.Port()), "");
        EXPECT_NE(pop.SessionNote().find("encrypted (TLSv1."), std::string::npos) << pop.SessionNote();
    }
    {
        CPop3Connection pop;
        pop.SetRequireTls(true);
        ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(dovecot.Port())));
        EXPECT_FALSE(pop.Login("ann", "pw1")) << "a certificate for another name was taken";
        EXPECT_NE(pop.TlsFailure().find("certificate"), std::string::npos) << pop.TlsFailure();
    }
    if (implicitPort == 0) GTEST_SKIP() << "port 995 is taken: TLS from the first byte not tried";
    for (const bool required : {false, true}) {
        CPop3Connection pop;
        pop.SetRequireTls(required);
        EXPECT_EQ(Fetch(pop, "localhost", implicitPort), "") << required;
    }
}

// A server that lists no STLS never sees the password when TLS is required.
TEST_F(Pop3TlsTest, PlainServersAreRefusedWhenTlsIsRequired) {
    std::mutex lock;
    std::vector<std::string> heard;
    ScriptedPeer peer(
        [&](PeerLink& link) {
            link.Send("+OK plain only\r\n");
            for (std::string line; link.ReadLine(line, std::chrono::seconds(3));) {
                std::lock_guard<std::mutex> guard(lock);
                heard.push_back(line);
                link.Send(line.rfind("CAPA", 0) == 0 ? "+OK\r\nUSER\r\n.\r\n" : "+OK\r\n");
            }
        },
        1);
    CPop3Connection pop;
    pop.SetRequireTls(true);
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(peer.Port())));
    EXPECT_FALSE(pop.Login("ann", "pw1"));
    pop.Close();
    peer.Join();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(heard, std::vector<std::string>{"CAPA\r\n"});
}

}  // namespace
