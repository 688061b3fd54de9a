// Hand-backs to the own listener (a real SMTP server, the tests' SmtpPeer,
// on the configured loopback port): which recipients were taken, where a
// refused message stopped, and that the session stays usable after it.
#include "TestContent.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "foundation/SettingsCatalogue.h"
#include "smtp/CLocalHandBack.h"

namespace {

using Step = CLocalHandBack::Step;

class LocalHandBackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.Provision());
        ASSERT_TRUE(server.Start(home.File("received")));
        SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(server.Port()));
    }
    TestHome home;
    SmtpPeer server;
};

}  // namespace

TEST_F(LocalHandBackTest, TakenAndRefusedRecipientsAndTheFailedStep) {
    CLocalHandBack local(CLocalHandBack::Options{});
    ASSERT_TRUE(local.Open());
    CLocalHandBack::Envelope envelope;
    envelope.sender = "ann@example.org";
    envelope.recipients = {{"bob@example.org", "", false},
                           {"refused-carol@example.org", "owner@example.org", false},
                           {"refused-dave@example.org", "", false}};
    const auto taken = local.HandBack(envelope, *Content("Subject: one\r\n\r\nHi.\r\n"));
    EXPECT_TRUE(taken.sent);
    ASSERT_EQ(taken.recipients.size(), 3u);
    EXPECT_EQ(taken.recipients[0].acceptedAs, "bob@example.org");
    EXPECT_EQ(taken.recipients[1].acceptedAs, "owner@example.org");
    EXPECT_EQ(taken.recipients[2].acceptedAs, "");
    EXPECT_EQ(taken.recipients[2].reply, "550 5.1.1 No such user");
    EXPECT_EQ(taken.AcceptedCount(), 2u);
    std::string recorded;
    server.Message(1, &recorded);
    EXPECT_EQ(recorded, "ann@example.org\nbob@example.org\nowner@example.org\n");

    // A required recipient refused: nothing is sent, the reply says why and
    // the same session takes the next message.
    envelope.recipients = {{"refused-erin@example.org", "", true}, {"bob@example.org", "", false}};
    const auto refused = local.HandBack(envelope, *Content("Subject: two\r\n\r\nHi.\r\n"));
    EXPECT_FALSE(refused.sent);
    EXPECT_EQ(refused.failedAt, Step::Recipient);
    EXPECT_EQ(refused.code, "550");
    EXPECT_TRUE(refused.sessionOpen);

    const auto data =
        local.HandBack(CLocalHandBack::To("", "rejectdata@example.org"), *Content("Subject: three\r\n\r\nHi.\r\n"));
    EXPECT_EQ(data.failedAt, Step::Data);
    EXPECT_EQ(data.reply, "554 5.6.0 Message refused");

    EXPECT_TRUE(local.HandBack(CLocalHandBack::To("", "bob@example.org"), *Content("Subject: four\r\n\r\n")).sent);
    local.Close();
    EXPECT_EQ(server.MessageCount(), 2);

    SetSettingDword(settings::kPortsKeyPath, "SMTP Port", static_cast<unsigned>(ClosedPort()));
    EXPECT_EQ(CLocalHandBack::Once({}, CLocalHandBack::To("", "bob@example.org"), *Content("x")).failedAt,
              Step::Connect);
}
