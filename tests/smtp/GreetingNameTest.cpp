// The name this server greets with: the machine's full name, else the home's
// domain, else the address literal of the connection's local end; never a
// bare host name or a name with a trailing dot.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/COwnNames.h"
#include "smtp/CSmtpConnection.h"

TEST(GreetingName, FullNameElseHomeDomainElseAddressLiteral) {
    struct Case {
        const char* fullName;
        const char* homeDomain;
        const char* local;
        const char* chosen;
    };
    for (const Case& c : std::vector<Case>{
             {"mail.example.org", "example.net", "192.0.2.7", "mail.example.org"},
             {"Mail.Example.ORG.", "", "", "mail.example.org"},
             {"vm.", "Example.NET", "192.0.2.7", "example.net"},
             {"vm", "", "192.0.2.7", "[192.0.2.7]"},
             {"", "corp", "2001:db8::1", "[IPv6:2001:db8::1]"},
             {"", "", "::ffff:127.0.0.1", "[127.0.0.1]"},
             {"", "", "fe80::1%eth0", "[IPv6:fe80::1]"},
             {"-bad-.example", "ex ample.org", "not an address", "[127.0.0.1]"},
         })
        EXPECT_EQ(COwnNames::Choose(c.fullName, c.homeDomain, c.local), c.chosen)
            << c.fullName << "|" << c.homeDomain << "|" << c.local;
}

TEST(GreetingName, AnUnnamedMachineGreetsWithItsLocalAddress) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    std::vector<std::string> greetings(3);
    std::atomic<int> session{0};
    ScriptedPeer peer(
        [&](PeerLink& link) {
            std::string& line = greetings[session++];
            link.Send("220 peer ready\r\n");
            link.ReadLine(line);
            link.Send("250 hello\r\n");
        },
        3);
    for (const char* name : {"relay.example.org", "vm.", ""}) {
        CSmtpConnection smtp;
        smtp.SetOwnName(name);
        ASSERT_EQ(smtp.Connect("127.0.0.1", peer.Port(), false), 1) << name;
    }
    peer.Join();
    EXPECT_EQ(greetings, (std::vector<std::string>{"HELO relay.example.org\r\n", "HELO [127.0.0.1]\r\n",
                                                   "HELO [127.0.0.1]\r\n"}));
}
