// Mail the server generates because of a message, probed as a stranger
// would: delivery receipts and receiving-quota notices aimed at remote
// addresses go nowhere unless the message came from a client that may
// relay or the address is its own envelope sender; local addresses are
// served for anyone; a null sender causes nothing; quoted text is cut.
#include <regex>

#include "MailFlowFixture.h"

namespace {

class GeneratedMailPolicyTest : public MailFlowTest {
protected:
    void From(const std::string& sender, bool mayRelay) { policy = CGeneratedMailPolicy(sender, mayRelay, &db); }
    std::string Envelope(int n) {
        std::string envelope;
        Notice(n, &envelope);
        return envelope;
    }
};

}  // namespace

TEST_F(GeneratedMailPolicyTest, AnOutsideClientCanAimNoticesOnlyAtLocalAddressesOrItsOwnSender) {
    Create("ann");
    Create("bob");
    Create("carl", Limits{.receive = 1});
    auto bob = Account("bob");
    auto carl = Account("carl");

    // Remote targets in the forms a prober tries, from an ordinary and from
    // the null sender: nothing is sent anywhere but the quota notice to the
    // prober's own envelope sender.
    for (const std::string sender : {"mallory@outside.example", "", "<>"}) {
        From(sender, false);
        for (const std::string target :
             {"victim@example.com", "Victim <victim@example.com>", "(ann@localhost) victim@example.com",
              "ann@localhost@example.com", "ann%example.com@localhost", "\"ann\"@localhost", "ann@[192.0.2.1]"})
            Deliver(*bob,
                    Message(300, "From: x@outside.example\r\nSubject: probe\r\nX-QIRN-Receipt: " + target + "\r\n"));
        Deliver(*carl, Message(3000, "From: Victim <victim@example.com>\r\nSubject: too big\r\n"));
    }
    // A null sender causes no generated mail, not even to a local address.
    for (const std::string sender : {"", "<>"}) {
        From(sender, false);
        Deliver(*bob, Message(300, "From: ann@localhost\r\nX-QIRN-Receipt: ann@localhost\r\n"));
        Deliver(*carl, Message(3000, "From: ann@localhost\r\n"));
    }
    ASSERT_EQ(Notices(), 1);
    EXPECT_EQ(Envelope(1), "postmaster@127.0.0.1\nmallory@outside.example\n");

    // Local addresses get receipts whoever asks; a quota notice goes to the
    // envelope sender, never to a local address the header names.
    From("Mallory@Outside.example", false);
    Deliver(*bob, Message(300, "From: x@outside.example\r\nX-QIRN-Receipt: Ann <ann@localhost>\r\n"));
    Deliver(*carl, Message(3000, "From: \"Ann\" <ANN@LOCALHOST>\r\n"));
    Deliver(*bob, Message(300, "From: x@outside.example\r\nX-QIRN-Receipt: mallory@outside.example\r\n"));
    ASSERT_EQ(Notices(), 4);
    EXPECT_EQ(Envelope(2), "postmaster@127.0.0.1\nann@localhost\n");
    EXPECT_EQ(Envelope(3), "postmaster@127.0.0.1\nMallory@Outside.example\n");
    EXPECT_EQ(Envelope(4), "postmaster@127.0.0.1\nmallory@outside.example\n");
}

TEST_F(GeneratedMailPolicyTest, ARelayingSendersReceiptReachesARemoteAddressQuotingAtMost200Bytes) {
    Create("bob");
    auto bob = Account("bob");
    From("ann@localhost", true);
    // The cut at 200 bytes would split the two-byte letter: it goes whole.
    const std::string subject = std::string(199, 's') + "\xC3\xA9" + std::string(30000, 'x');
    Deliver(*bob, Message(40000, "From: ann@localhost\r\nSubject: " + subject +
                                     "\r\nDate: Mon, 07 Dec 2026 09:00:00 +0000\r\n"
                                     "X-QIRN-Receipt: Ann <ann@home.example>\r\n"));
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    const std::string notice = Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nann@home.example\n");
    EXPECT_TRUE(std::regex_search(notice, std::regex("\r\n Date : Mon, 07 Dec 2026 09:00:00 \\+0000\r\n To : "
                                                     "bob@example.org\r\n Subject : s{199}(\r\n)?$")))
        << notice.substr(notice.size() > 400 ? notice.size() - 400 : 0);
}
