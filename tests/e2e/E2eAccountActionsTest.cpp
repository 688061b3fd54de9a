// Per-account actions through the real program: automatic replies set from
// the shell and carried out to a real SMTP peer (the relay gateway), the
// messages that must never be answered, two replying accounts writing to
// each other, a UTF-8 reply read back by Python's email package; forwarding
// to a local and a remote target in both modes, a forward that is refused
// (the copy stays), and a looping message (a notice to its sender, no
// forward).
#include <algorithm>
#include <string>
#include <vector>

#include "E2eFixture.h"

namespace {

class E2eAccountActions : public E2eFixture {
protected:
    void SetUp() override {
        E2eFixture::SetUp();
        ASSERT_TRUE(gateway.Start(home.File("gateway")));
        Set({"Ports", "Use Smart SMTP", "dword", "0"});
        Set({"Ports", "RemoteGateway Server", "string", "127.0.0.1"});
        Set({"Ports", "RemotePort", "dword", std::to_string(gateway.Port())});
    }
    void Set(const std::vector<std::string>& setting) {
        std::vector<std::string> args = {"reg", "set"};
        args.insert(args.end(), setting.begin(), setting.end());
        const RunResult result = home.Velmora(args);
        ASSERT_EQ(result.status, 0) << result.output;
    }
    void Shell(const std::vector<std::string>& args) {
        const RunResult result = home.Velmora(args);
        ASSERT_EQ(result.status, 0) << result.output;
    }
    void Send(const std::string& from, const std::string& to, const std::string& text) {
        SmtpClient client;
        Open(client);
        ASSERT_EQ(Code(Transaction(client, from, {to}, text)), 250);
        client.Command("QUIT");
    }
    // Mail settled: nothing spooled, nothing half-written.
    void Settle() {
        ASSERT_TRUE(WaitForEmptySpool());
        ASSERT_TRUE(WaitForNoTempFiles());
    }
    std::size_t Holding(const std::string& user, const std::string& marker) {
        const std::vector<std::string> texts = home.InboxTexts(user);
        return static_cast<std::size_t>(
            std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(marker) != t.npos; }));
    }

    SmtpPeer gateway;
};

// A reply as Python's email package reads it: subject, charset,
// In-Reply-To and the decoded text, in UTF-8.
constexpr const char* kParseReply = R"(
import sys, email, email.policy
m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
out = '|'.join([str(m['Subject']), m.get_content_charset(), str(m['In-Reply-To']), m.get_content()])
sys.stdout.buffer.write(out.replace('\r\n', '\n').encode('utf-8'))
)";

std::string Mail(const std::string& from, const std::string& subject, const std::string& extra = "") {
    return "From: " + from + "\r\nTo: Alice <alice@localhost>\r\nSubject: " + subject + "\r\n" + extra +
           "\r\nbody of " + subject + "\r\n";
}

std::string Hops(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) lines += "Received: from hop" + std::to_string(i) + ".test by relay.test\r\n";
    return lines;
}

std::size_t Lines(const std::string& text, const std::string& start) {
    std::size_t count = text.starts_with(start) ? 1 : 0;
    for (std::size_t at = text.find("\r\n" + start); at != std::string::npos; at = text.find("\r\n" + start, at + 2))
        ++count;
    return count;
}

}  // namespace

TEST_F(E2eAccountActions, AutoResponderAnswersPeopleOnceAndNothingAutomatic) {
    const std::string text = home.File("away.txt");
    TestHome::WriteFile(text, "I am away.\r\n.A dotted line\r\n");
    Shell({"account", "autoresponse", "alice", "--text-file", text});
    Shell({"account", "autoresponse", "bob", "--text-file", text});
    EXPECT_NE(home.Velmora({"account", "autoresponse", "alice"}).output.find("on\nI am away."), std::string::npos);
    StartServer();

    const std::string stranger = "Stranger <stranger@far.test>";
    Send("stranger@far.test", "alice@localhost", Mail(stranger, "plain"));
    Send("stranger@far.test", "alice@localhost", Mail(stranger, "auto", "Auto-Submitted: auto-replied\r\n"));
    Send("stranger@far.test", "alice@localhost", Mail(stranger, "list", "Precedence: list\r\n"));
    Send("stranger@far.test", "alice@localhost", Mail(stranger, "notice", "X-Mailer: Tessal Notification\r\n"));
    Send("stranger@far.test", "alice@localhost", Mail(stranger, "looping", Hops(26)));
    ASSERT_TRUE(WaitForMail("alice", 5));
    Settle();
    Pass(1);
    // One reply, to the plain message, carried out to the gateway.
    ASSERT_EQ(gateway.MessageCount(), 1);
    std::string envelope;
    const std::string reply = gateway.Message(1, &envelope);
    EXPECT_EQ(envelope, "alice@localhost\nstranger@far.test\n");
    EXPECT_NE(reply.find("From: alice@localhost\r\nTo: Stranger <stranger@far.test>\r\nSubject: Re:plain\r\nDate: "),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("X-Mailer: Tessal AutoResponder\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
                         "charset=ISO-8859-1\r\nContent-Transfer-Encoding: 7bit\r\nAuto-Submitted: "
                         "auto-replied\r\n\r\nI am away.\r\n.A dotted line\r\n"),
              std::string::npos)
        << reply;

    // A UTF-8 text and subject: a mail reader's parser gets them back.
    TestHome::WriteFile(text, "Je suis absent jusqu'\xC3\xA0 lundi \xE2\x82\xAC.\r\n");
    Shell({"account", "autoresponse", "alice", "--text-file", text});
    Send("other@far.test", "alice@localhost",
         Mail("other@far.test", "R\xC3\xA9union", "Message-ID: <m1@far.test>\r\n"));
    ASSERT_TRUE(WaitForMail("alice", 6));
    Settle();
    Pass(2);
    ASSERT_EQ(gateway.MessageCount(), 2);
    TestHome::WriteFile(home.File("reply.eml"), gateway.Message(2));
    const RunResult parsed = RunProgram({"python3", "-c", kParseReply, home.File("reply.eml")});
    ASSERT_EQ(parsed.status, 0) << parsed.output;
    EXPECT_EQ(parsed.output, "Re:R\xC3\xA9union|utf-8|<m1@far.test>|Je suis absent jusqu'\xC3\xA0 lundi \xE2\x82\xAC.\n")
        << gateway.Message(2);

    Send("alice@localhost", "bob@localhost", "From: alice@localhost\r\nSubject: ping\r\n\r\nhi bob\r\n");
    Send("bob@localhost", "alice@localhost", "From: bob@localhost\r\nSubject: pong\r\n\r\nhi alice\r\n");
    ASSERT_TRUE(
        WaitUntil([&] { return Holding("alice", "Re:ping") == 1 && Holding("bob", "Re:pong") == 1; }, kDeliveryWait));
    Settle();
    EXPECT_EQ(Holding("alice", "Subject: Re:"), 1u);
    EXPECT_EQ(Holding("bob", "Subject: Re:"), 1u);
    EXPECT_EQ(home.InboxFiles("bob").size(), 2u);

    // Off from the shell: the file goes, and nothing more is answered.
    Shell({"account", "autoresponse", "alice", "--off"});
    EXPECT_EQ(home.Sql("SELECT count(*) FROM AutoResponder WHERE aAccountId = (SELECT aAccountId FROM Accounts "
                       "WHERE aUserName = 'alice')"),
              "0");
    EXPECT_EQ(home.Files("mail", "", ".atr").size(), 1u);  // bob's
}

TEST_F(E2eAccountActions, ForwardingHandsEveryCopyOnAndKeepsNoneUnlessAForwardFails) {
    Shell({"account", "forward", "alice", "add", "bob@localhost", "--local"});
    Shell({"account", "forward", "alice", "add", "far@remote.test"});
    const RunResult listed = home.Velmora({"account", "forward", "alice", "list"});
    EXPECT_EQ(listed.output, "bob@localhost  (local SMTP)\nfar@remote.test  (queued)\nRetain copy: off\n");
    StartServer();

    // Unchanged mode: each copy is the message as delivered.
    const std::string original = Mail("Stranger <stranger@far.test>", "first", "x-Custom:  kept as  written\r\n");
    Send("stranger@far.test", "alice@localhost", original);
    ASSERT_TRUE(WaitForMail("bob", 1));
    Settle();
    Pass(1);
    ASSERT_EQ(gateway.MessageCount(), 1);
    std::string envelope;
    const std::string remote = gateway.Message(1, &envelope);
    EXPECT_EQ(envelope, "stranger@far.test\nfar@remote.test\n");
    const std::string local = home.InboxTexts("bob").at(0);
    for (const std::string& copy : {remote, local}) {
        EXPECT_NE(copy.find(original.substr(0, original.size() - 2)), std::string::npos) << copy;
        EXPECT_EQ(Lines(copy, "To:"), 1u) << copy;
    }
    EXPECT_TRUE(home.InboxFiles("alice").empty());

    // A forward the local server refuses: the account keeps its copy, and
    // says so once.
    Shell({"account", "forward", "alice", "add", "nobody@localhost", "--local"});
    Send("stranger@far.test", "alice@localhost", Mail("stranger@far.test", "second"));
    ASSERT_TRUE(WaitForMail("alice", 1));
    ASSERT_TRUE(WaitForMail("bob", 2));
    Settle();
    EXPECT_EQ(Holding("alice", "body of second"), 1u);
    EXPECT_NE(home.LogText().find("Forwarding for alice: 1 of 3 forwards not handed over; its copy is kept"), std::string::npos);

    // Looping: the sender is told, nothing is forwarded, the copy stays.
    Send("bob@localhost", "alice@localhost", Mail("bob@localhost", "looping", Hops(26)));
    ASSERT_TRUE(WaitForMail("alice", 2));
    ASSERT_TRUE(WaitUntil([&] { return Holding("bob", "Message Delivery Error") == 1; }, kDeliveryWait));
    Settle();
    EXPECT_EQ(Holding("bob", "could not be forwarded as per recipient's settings due to looping"), 1u);
    EXPECT_EQ(Holding("bob", "body of looping"), 0u);
    EXPECT_EQ(home.SqlNumber("SELECT count(*) FROM OutBoundMails"), 1);  // the second message's remote copy
}

TEST_F(E2eAccountActions, RewritingModeNamesEachTargetInTheOneToFieldAndKeepsTheRest) {
    Set({"Preferences", "ChangeToAddress", "dword", "1"});
    Shell({"account", "forward", "alice", "add", "bob@localhost", "--local"});
    Shell({"account", "forward", "alice", "add", "far@remote.test"});
    Shell({"account", "forward", "alice", "--retain", "on"});
    StartServer();

    const std::string extra = Hops(3) + "x-Custom:  kept as  written\r\n\tfolded on\r\n";
    Send("stranger@far.test", "alice@localhost", Mail("Stranger <stranger@far.test>", "rewritten", extra));
    ASSERT_TRUE(WaitForMail("bob", 1));
    ASSERT_TRUE(WaitForMail("alice", 1));
    Settle();
    Pass(1);
    ASSERT_EQ(gateway.MessageCount(), 1);
    const std::string remote = gateway.Message(1);
    const std::string local = home.InboxTexts("bob").at(0);
    for (const auto& [copy, target] : {std::pair{remote, "far@remote.test"}, std::pair{local, "bob@localhost"}}) {
        // In place, between From and Subject, and the only one.
        EXPECT_NE(copy.find("From: Stranger <stranger@far.test>\r\nTo: " + std::string(target) + "\r\nSubject: "),
                  std::string::npos)
            << copy;
        EXPECT_EQ(Lines(copy, "To:"), 1u) << copy;
        EXPECT_NE(copy.find(extra + "\r\nbody of rewritten\r\n"), std::string::npos) << copy;
    }
    // The original's own Received fields (3), its arrival here and the
    // copy's hand-over: one line each, as the next hop counts them.
    EXPECT_EQ(Lines(local, "Received:"), 5u) << local;
    EXPECT_NE(home.InboxTexts("alice").at(0).find("To: Alice <alice@localhost>"), std::string::npos);
}
