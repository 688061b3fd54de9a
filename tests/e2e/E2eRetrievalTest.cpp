// Remote mailboxes fetched by the real program's send and receive pass from
// a real Dovecot: a mapped account of alice lands in her Inbox byte for
// byte, a shared remote server account is distributed by its To and Cc
// fields and its Received "for" clause, the same message from a second
// account reaches each recipient once, and the next pass fetches nothing.
#include <algorithm>

#include "DovecotPeer.h"
#include "E2eFixture.h"

namespace {

class E2eRetrievalTest : public E2eFixture {
protected:
    void Admin(const std::vector<std::string>& args) {
        const RunResult result = home.Velmora(args);
        ASSERT_EQ(result.status, 0) << result.output;
    }
    // The texts without the trace field the local listener puts on top, sorted.
    static std::string Sorted(std::vector<std::string> texts, bool traced) {
        for (std::string& text : texts) {
            if (!traced) continue;
            std::size_t end = text.rfind("Received: ", 0) == 0 ? text.find("\r\n") : std::string::npos;
            while (end != std::string::npos && end + 2 < text.size() && (text[end + 2] == '\t' || text[end + 2] == ' '))
                end = text.find("\r\n", end + 2);
            text = end == std::string::npos ? "(no trace field) " + text : text.substr(end + 2);
        }
        std::sort(texts.begin(), texts.end());
        std::string all;
        for (const std::string& text : texts) all += text + "\n----\n";
        return all;
    }

    DovecotPeer dovecot;
};

const std::string kShared =
    "From: ann@remote.example\r\nTo: Bob <bob@example.org>, someone@elsewhere.example\r\n"
    "Cc: carol@example.org\r\nMessage-ID: <fields@remote.example>\r\nSubject: by fields\r\n\r\nto bob and carol\r\n";

}  // namespace

TEST_F(E2eRetrievalTest, MappedAndRemoteServerAccountsLandInTheRightMailboxes) {
    ASSERT_TRUE(home.AddAccount("carol"));
    dovecot.AddUser("ann", "ann-secret");
    dovecot.AddUser("shared", "shared-secret");
    dovecot.AddUser("copy", "copy-secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    const std::vector<std::string> mapped = {
        "From: ann@remote.example\r\nTo: ann@remote.example\r\nSubject: one\r\n\r\nfirst\r\n",
        "From: ann@remote.example\r\nTo: ann@remote.example\r\nSubject: dots\r\n\r\n.leading dot\r\n..two\r\n.\r\n"
        "end\r\n",
        "From: ann@remote.example\r\nTo: ann@remote.example\r\nSubject: three\r\n\r\nthird\r\n"};
    for (std::size_t i = 0; i < mapped.size(); ++i)
        ASSERT_TRUE(dovecot.AddMessage("ann", "m" + std::to_string(i + 1), mapped[i]));
    ASSERT_TRUE(dovecot.AddMessage("shared", "s1", kShared));
    ASSERT_TRUE(dovecot.AddMessage("shared", "s2",
                                   "Received: from a by b for <carol@example.org>; Mon, 7 Dec 2026 01:00:00 +0000\r\n"
                                   "From: ann@remote.example\r\nTo: list@example.org\r\nMessage-ID: <rcvd@remote>\r\n"
                                   "Subject: by received\r\n\r\nto carol\r\n"));
    ASSERT_TRUE(dovecot.AddMessage("copy", "c1", kShared));

    const std::string port = std::to_string(dovecot.Port());
    Admin({"popaccount", "add", "alice", "127.0.0.1", "ann", "--port", port, "--password", "ann-secret"});
    Admin({"remoteaccount", "add", "shared", "--owner", "alice", "--server", "127.0.0.1", "--user", "shared", "--port",
           port, "--password", "shared-secret", "--alias", "example.org"});
    Admin({"remoteaccount", "add", "copy", "--owner", "bob", "--server", "127.0.0.1", "--user", "copy", "--port", port,
           "--password", "copy-secret", "--alias", "example.org"});
    StartServer();

    Pass(1);
    ASSERT_TRUE(WaitForMail("alice", 3) && WaitForMail("bob", 1) && WaitForMail("carol", 2)) << server.Output();
    ASSERT_TRUE(WaitForEmptySpool());
    EXPECT_EQ(Sorted(home.InboxTexts("alice"), true), Sorted(mapped, false));
    const std::vector<std::string> bob = home.InboxTexts("bob");
    ASSERT_EQ(bob.size(), 1u) << "one message from two accounts reaches bob twice";
    EXPECT_NE(bob[0].find("Subject: by fields"), std::string::npos);
    const std::vector<std::string> carol = home.InboxTexts("carol");
    ASSERT_EQ(carol.size(), 2u);
    EXPECT_EQ(std::count_if(carol.begin(), carol.end(),
                            [](const std::string& t) { return t.find("Subject: by received") != t.npos; }),
              1);
    // Nothing was left on the server.
    EXPECT_EQ(dovecot.MessageCount("ann"), 0);
    EXPECT_EQ(dovecot.MessageCount("shared"), 0);
    EXPECT_TRUE(home.Files("MailSpooler").empty());

    // The next pass finds nothing new.
    Pass(2);
    ASSERT_TRUE(WaitForEmptySpool());
    EXPECT_EQ(home.InboxFiles("alice").size(), 3u);
    EXPECT_EQ(home.InboxFiles("bob").size(), 1u);
    EXPECT_EQ(home.InboxFiles("carol").size(), 2u);
    StopServer();
}

// A phone deletes the newest message fetched, later an older one while new
// mail arrives: neither a mapped account nor a remote server account that
// leaves mail on the server fetches anything twice.
TEST_F(E2eRetrievalTest, MailLeftOnTheServerIsFetchedOnceWhateverAnotherClientDeletes) {
    dovecot.AddUser("ann", "ann-secret");
    dovecot.AddUser("shared", "shared-secret");
    ASSERT_TRUE(dovecot.Start()) << dovecot.Why();
    const auto arrive = [&](const std::string& name) {
        const std::string text = "From: ann@remote.example\r\nMessage-ID: <" + name + "@remote>\r\nSubject: " + name +
                                 "\r\n\r\nbody\r\n";
        return dovecot.AddMessage("ann", name, text) && dovecot.AddMessage("shared", name, text);
    };
    const auto removeRemotely = [&](const std::string& name) {
        return dovecot.RemoveMessage("ann", name) && dovecot.RemoveMessage("shared", name);
    };
    const auto subjects = [&](const std::string& user) {
        std::vector<std::string> found;
        for (const std::string& text : home.InboxTexts(user)) {
            const std::size_t at = text.find("Subject: ");
            found.push_back(at == std::string::npos ? "?" : text.substr(at + 9, text.find('\r', at) - at - 9));
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    for (const char* name : {"m1", "m2", "m3"}) ASSERT_TRUE(arrive(name));
    const std::string port = std::to_string(dovecot.Port());
    Admin({"popaccount", "add", "alice", "127.0.0.1", "ann", "--port", port, "--password", "ann-secret",
           "--leave-on-server"});
    Admin({"remoteaccount", "add", "shared", "--owner", "bob", "--server", "127.0.0.1", "--user", "shared", "--port",
           port, "--password", "shared-secret", "--leave-on-server"});
    StartServer();

    Pass(1);
    ASSERT_TRUE(WaitForMail("alice", 3) && WaitForMail("bob", 3) && WaitForEmptySpool()) << server.Output();
    ASSERT_TRUE(removeRemotely("m3"));
    Pass(2);
    ASSERT_TRUE(WaitForEmptySpool());
    const std::vector<std::string> three = {"m1", "m2", "m3"};
    EXPECT_EQ(subjects("alice"), three);
    EXPECT_EQ(subjects("bob"), three);

    ASSERT_TRUE(removeRemotely("m1"));
    ASSERT_TRUE(arrive("m4"));
    Pass(3);
    ASSERT_TRUE(WaitForMail("alice", 4) && WaitForMail("bob", 4) && WaitForEmptySpool()) << server.Output();
    const std::vector<std::string> four = {"m1", "m2", "m3", "m4"};
    EXPECT_EQ(subjects("alice"), four);
    EXPECT_EQ(subjects("bob"), four);
    EXPECT_EQ(dovecot.MessageCount("ann"), 2);
    StopServer();
}
