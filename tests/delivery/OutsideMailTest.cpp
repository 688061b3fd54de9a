// What a message from outside can make the server send, probed as a
// spammer would: forwarded copies keep the message's envelope sender (the
// null one too) and are queued as a stranger's; the loop notice goes to the
// envelope sender or nowhere; the automatic reply answers one sender once
// per interval and quotes a bounded subject.
#include "MailFlowFixture.h"
#include "delivery/CForwarding.h"
#include "foundation/DateText.h"
#include "outbound/COutboundQueue.h"
#include "outbound/COutboundQueueReader.h"

namespace {

class OutsideMailTest : public MailFlowTest {
protected:
    void From(const std::string& sender, bool mayRelay) { policy = CGeneratedMailPolicy(sender, mayRelay, &db); }
    // Envelope sender and trust of every queued message, one "sender|trusted" line each, in queue order.
    std::vector<std::string> Queued() {
        std::vector<std::string> out;
        for (const std::string& file : Lines("SELECT DISTINCT MailFile FROM OutBoundMails ORDER BY MailFile")) {
            COutboundQueueReader reader("Outbox");
            EXPECT_TRUE(reader.OpenMailFile(file)) << file;
            out.push_back(reader.ReadSender() + "|" + (COutboundQueue::IsTrusted(Connection(), file) ? "1" : "0"));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string Hops(int count) {
        std::string lines;
        for (int i = 0; i < count; ++i) lines += "Received: from a" + std::to_string(i) + "\r\n";
        return lines;
    }
};

}  // namespace

TEST_F(OutsideMailTest, ForwardedCopiesKeepTheEnvelopeSenderAndLoopNoticesGoNowhereElse) {
    const long alice = Create("alice");
    ASSERT_TRUE(CForwarding::Add(Connection(), alice, "far", "remote.test", false));
    auto account = Account("alice");
    const std::string forged = "From: Victim <victim@example.com>\r\nSubject: payload\r\n";

    From("", false);
    Deliver(*account, Message(500, forged));
    From("spammer@outside.example", false);
    Deliver(*account, Message(500, forged));
    From("ann@example.org", true);
    Deliver(*account, Message(500, forged));
    EXPECT_EQ(Queued(), (std::vector<std::string>{"ann@example.org|1", "spammer@outside.example|0", "|0"}));
    EXPECT_EQ(Notices(), 0);

    // A looping message: its envelope sender is told, the header's never;
    // with the null sender nobody is.
    From("", false);
    Deliver(*account, Message(2000, forged + Hops(26)));
    EXPECT_EQ(Notices(), 0);
    From("spammer@outside.example", false);
    Deliver(*account, Message(2000, forged + Hops(26)));
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    Notice(1, &envelope);
    EXPECT_EQ(envelope, "postmaster@127.0.0.1\nspammer@outside.example\n");
    EXPECT_EQ(Count("SELECT count(*) FROM OutBoundMails"), 3);
}

TEST_F(OutsideMailTest, OneSenderIsAnsweredOncePerIntervalWithASubjectCutTo200Bytes) {
    const long alice = Create("alice");
    Exec("INSERT INTO AutoResponder VALUES (" + std::to_string(alice) + ", true)");
    auto account = Account("alice");
    const std::string subject(800, 's');
    From("spammer@outside.example", false);
    for (int i = 0; i < 10; ++i)
        Deliver(*account, Message(2000, "From: SPAMMER@outside.example\r\nSubject: " + subject + "\r\n"));
    ASSERT_EQ(Notices(), 1);
    std::string envelope;
    const std::string reply = Notice(1, &envelope);
    EXPECT_EQ(envelope, "alice@example.org\nSPAMMER@outside.example\n");
    EXPECT_NE(reply.find("\r\nSubject: Re:" + std::string(200, 's') + "\r\nDate: "), std::string::npos) << reply;

    // Another sender has a reply of its own; once the interval has passed
    // the first is answered again.
    From("ann@example.org", true);
    Deliver(*account, Message(300, "From: ann@example.org\r\nSubject: hi\r\n"));
    EXPECT_EQ(Notices(), 2);
    Exec("UPDATE AutoReplies SET RepliedAt = '" + LocalDateTimeText(std::time(nullptr) - 25 * 60 * 60) + "'");
    From("spammer@outside.example", false);
    Deliver(*account, Message(300, "From: spammer@outside.example\r\nSubject: again\r\n"));
    EXPECT_EQ(Notices(), 3);
}
