// The POP3 client against Dovecot with ssl = required and a certificate of
// the test authority (trusted through TLS\CA File) for "localhost": STLS
// and port 995, opportunistic or checked; a wrong name, or a server without
// STLS, is refused before the password leaves.
#include <gtest/gtest.h>

#include <tuple>

#include "DovecotPeer.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/CTempMailContent.h"
#include "foundation/SettingsCatalogue.h"
#include "retrieval/CPop3Connection.h"

TEST(Pop3TlsTest, FetchesOverStlsAndPort995CheckingTheCertificateWhenRequired) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    ASSERT_EQ(MakeTestCertificates(home.File("pki")), "");
    SetSettingString(settings::kTlsKeyPath, "CA File", home.File("pki/ca.pem"));
    // 995 is what tells the client to start with TLS; when taken, that part is skipped.
    const bool free995 =
        RunProgram({"/usr/bin/python3", "-c", "import socket; socket.socket().bind(('127.0.0.1', 995))"}).status == 0;
    DovecotPeer dovecot;
    dovecot.AddUser("ann", "pw1");
    dovecot.RequireTls(home.File("pki/server.pem"), home.File("pki/server.key"), free995 ? 995 : 0);
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    ASSERT_TRUE(dovecot.AddMessage("ann", "m1", "Subject: tls\r\n\r\n.dot\r\n"));
    // Host, port, TLS required, fetched.
    using Case = std::tuple<const char*, int, bool, bool>;
    for (const auto& [host, port, required, fetches] :
         std::initializer_list<Case>{{"127.0.0.1", dovecot.Port(), false, true},
                                     {"localhost", dovecot.Port(), true, true},
                                     {"127.0.0.1", dovecot.Port(), true, false},
                                     {"localhost", 995, false, true},
                                     {"localhost", 995, true, true}}) {
        if (port == 995 && !free995) continue;
        SCOPED_TRACE(std::string(host) + ":" + std::to_string(port) + (required ? " required" : ""));
        CPop3Connection pop;
        pop.SetRequireTls(required);
        ASSERT_TRUE(pop.Connect(host, static_cast<std::uint16_t>(port))) << pop.TlsFailure();
        EXPECT_EQ(pop.Login("ann", "pw1") && pop.IsEncrypted() && pop.RetrieveMessage(1), fetches) << pop.SessionNote();
        EXPECT_EQ(pop.TlsFailure().find("certificate") != std::string::npos, !fetches) << pop.TlsFailure();
    }
    // A server that lists no STLS never hears the password when TLS is required.
    std::string heard;
    ScriptedPeer plain([&](PeerLink& link) {
        link.Send("+OK plain only\r\n");
        for (std::string line; link.ReadLine(line, std::chrono::seconds(3)); heard += line)
            link.Send(line.starts_with("CAPA") ? "+OK\r\nUSER\r\n.\r\n" : "+OK\r\n");
    });
    CPop3Connection pop;
    pop.SetRequireTls(true);
    ASSERT_TRUE(pop.Connect("127.0.0.1", static_cast<std::uint16_t>(plain.Port())));
    EXPECT_FALSE(pop.Login("ann", "pw1"));
    pop.Close();
    plain.Join();
    EXPECT_EQ(heard, "CAPA\r\n");
}
