// IMAP sessions run in-process over a socket pair against the in-memory
// mailbox: login states, selection, FETCH, STORE, COPY/MOVE, EXPUNGE,
// APPEND, IDLE, and the answers to bad input. Waits are bounded polls for
// the expected line; nothing here sleeps.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "CClientAddress.h"
#include "CImapSession.h"
#include "CImapSettings.h"
#include "CLoginThrottle.h"
#include "FakeMailboxStore.h"
#include "platform/UniqueFd.h"

namespace {

const std::string kMessage = "From: a@example.org\r\nSubject: one\r\n\r\nHello there\r\n";

class ImapSession : public ::testing::Test {
protected:
    void SetUp() override {
        box = std::make_shared<FakeMailbox>();
        environment.throttle = &throttle;
        environment.login = [](const std::string& user, const std::string& password) {
            CImapLoginResult result;
            if (user == "alice" && password == "secret") {
                result.outcome = CImapLoginResult::Outcome::Ok;
                result.accountId = 1;
            }
            return result;
        };
        environment.openMailbox = [this](long) { return OpenFakeMailbox(box); };
        settings.failureStepMs = 0;
        settings.idleSliceMs = 50;
    }

    void TearDown() override {
        if (session.joinable()) {
            ::shutdown(client.Get(), SHUT_RDWR);
            session.join();
        }
    }

    void Start(const char* address = "192.0.2.1") {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        client = UniqueFd(pair[1]);
        UniqueFd server(pair[0]);
        session = std::thread([this, address, s = std::move(server)]() mutable {
            CImapSession(std::move(s), CClientAddress::FromText(address), environment, settings).Run();
        });
        greeting = ReadUntil("\r\n");
    }

    void Send(const std::string& text) {
        ASSERT_EQ(::send(client.Get(), text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }

    // Everything up to and including the first occurrence of marker (bounded wait).
    std::string ReadUntil(const std::string& marker) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (buffered.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{client.Get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char block[4096];
            const ssize_t n = ::recv(client.Get(), block, sizeof block, 0);
            if (n <= 0) break;
            buffered.append(block, static_cast<std::size_t>(n));
        }
        const std::size_t at = buffered.find(marker);
        if (at == std::string::npos) return std::exchange(buffered, std::string());
        std::string out = buffered.substr(0, at + marker.size());
        buffered.erase(0, at + marker.size());
        return out;
    }

    // Lines through the one tagged tag (or through a BYE).
    std::string ReadTagged(const std::string& tag) {
        std::string out;
        while (true) {
            const std::string line = ReadUntil("\r\n");
            out += line;
            if (line.empty() || line.rfind(tag + " ", 0) == 0 || line.rfind("* BYE", 0) == 0) return out;
        }
    }

    // Sends "tag text" and returns the answer through the tagged line.
    std::string Command(const std::string& tag, const std::string& text) {
        Send(tag + " " + text + "\r\n");
        return ReadTagged(tag);
    }

    void LoginAndSelect() {
        Start();
        ASSERT_NE(Command("l", "LOGIN alice secret").find("l OK"), std::string::npos);
        ASSERT_NE(Command("s", "SELECT INBOX").find("s OK [READ-WRITE]"), std::string::npos);
    }

    std::shared_ptr<FakeMailbox> box;
    CLoginThrottle throttle;
    CImapSession::Environment environment;
    CImapSettings settings;
    UniqueFd client;
    std::thread session;
    std::string greeting, buffered;
};

TEST_F(ImapSession, LoginStatesAndAuthenticatePlain) {
    Start();
    EXPECT_EQ(greeting.rfind("* OK [CAPABILITY IMAP4rev1", 0), 0u) << greeting;
    EXPECT_NE(greeting.find("AUTH=PLAIN"), std::string::npos);
    EXPECT_NE(Command("a", "SELECT INBOX").find("a BAD"), std::string::npos);
    EXPECT_NE(Command("b", "LOGIN alice wrong").find("b NO [AUTHENTICATIONFAILED]"), std::string::npos);
    // SASL-IR: "\0alice\0secret".
    std::string reply = Command("c", "AUTHENTICATE PLAIN AGFsaWNlAHNlY3JldA==");
    EXPECT_NE(reply.find("c OK"), std::string::npos) << reply;
    reply = Command("d", "CAPABILITY");
    EXPECT_EQ(reply.find("AUTH=PLAIN"), std::string::npos) << reply;
    EXPECT_NE(Command("e", "LOGIN alice secret").find("e BAD"), std::string::npos);
    EXPECT_NE(Command("f", "LOGOUT").find("* BYE"), std::string::npos);
}

TEST_F(ImapSession, LoginDisabledOutsideTlsForPublicClients) {
    settings.requireTlsForLogin = true;
    Start("203.0.113.9");
    EXPECT_NE(greeting.find("LOGINDISABLED"), std::string::npos) << greeting;
    EXPECT_NE(Command("a", "LOGIN alice secret").find("a NO [PRIVACYREQUIRED]"), std::string::npos);
    EXPECT_NE(Command("b", "AUTHENTICATE PLAIN AGFsaWNlAHNlY3JldA==").find("b NO [PRIVACYREQUIRED]"),
              std::string::npos);
}

// One FETCH marks all its messages read in one write and reports the flags
// of each it marked; a message already read is neither written nor reported.
TEST_F(ImapSession, FetchMarksReadInOneWrite) {
    box->Deliver("Inbox", kMessage, mailbox::kSeen);
    for (int i = 0; i < 3; ++i) box->Deliver("Inbox", kMessage);
    LoginAndSelect();
    const auto writes = [this] {
        std::lock_guard<std::mutex> guard(box->lock);
        return box->setFlagsCalls;
    };
    const int before = writes();
    const std::string reply = Command("m", "FETCH 1:4 (UID BODY[HEADER])");
    EXPECT_EQ(writes(), before + 1);
    const std::size_t second = reply.find("* 2 FETCH (UID 2 ");
    ASSERT_NE(second, std::string::npos) << reply;
    EXPECT_EQ(reply.substr(0, second).find("FLAGS"), std::string::npos) << reply;
    for (const char* marked : {"* 2 FETCH (UID 2 ", "* 3 FETCH (UID 3 ", "* 4 FETCH (UID 4 "}) {
        const std::size_t at = reply.find(marked);
        ASSERT_NE(at, std::string::npos) << marked << "\n" << reply;
        EXPECT_EQ(reply.find("FLAGS (\\Seen))\r\n", at), reply.find("FLAGS", at)) << reply;
    }
    std::lock_guard<std::mutex> guard(box->lock);
    for (const auto& m : box->Find("Inbox")->messages) EXPECT_TRUE(m.info.flags & mailbox::kSeen) << m.info.uid;
}

TEST_F(ImapSession, SelectFetchAndMissingFile) {
    box->Deliver("Inbox", kMessage, mailbox::kSeen);
    box->Deliver("Inbox", kMessage);
    const std::uint32_t third = box->Deliver("Inbox", "x\r\n");
    LoginAndSelect();
    std::string reply = Command("e", "EXAMINE INBOX");
    for (const char* expected : {"* 3 EXISTS", "* 0 RECENT", "[UNSEEN 2]", "[UIDVALIDITY 1001]", "[UIDNEXT 4]",
                                 "[PERMANENTFLAGS ()]", "e OK [READ-ONLY]"})
        EXPECT_NE(reply.find(expected), std::string::npos) << expected << "\n" << reply;
    Command("s", "SELECT INBOX");
    reply = Command("f", "FETCH 1:2 (FLAGS UID RFC822.SIZE INTERNALDATE)");
    EXPECT_NE(reply.find("* 1 FETCH (FLAGS (\\Seen) UID 1 RFC822.SIZE " + std::to_string(kMessage.size()) +
                         " INTERNALDATE \"08-Dec-2025 08:00:00 +0000\")"),
              std::string::npos)
        << reply;
    reply = Command("g", "UID FETCH 2 BODY.PEEK[]<7.12>");
    EXPECT_NE(reply.find("* 2 FETCH (UID 2 BODY[]<7> {12}\r\n" + kMessage.substr(7, 12) + ")"), std::string::npos)
        << reply;
    // BODY[] without PEEK reads the message and marks it seen.
    reply = Command("h", "FETCH 2 BODY[]");
    EXPECT_NE(reply.find("{" + std::to_string(kMessage.size()) + "}\r\n" + kMessage), std::string::npos) << reply;
    EXPECT_NE(reply.find("FLAGS (\\Seen)"), std::string::npos) << reply;
    // Sections and structure come from the message reader; SEARCH reads headers and text.
    reply = Command("s", "FETCH 1 (ENVELOPE BODY.PEEK[HEADER.FIELDS (SUBJECT)])");
    EXPECT_NE(reply.find("ENVELOPE (NIL \"one\""), std::string::npos) << reply;
    EXPECT_NE(reply.find("BODY[HEADER.FIELDS (SUBJECT)] {16}\r\nSubject: one\r\n\r\n)"), std::string::npos) << reply;
    EXPECT_NE(Command("t", "SEARCH SUBJECT one NOT TEXT nowhere").find("* SEARCH 1 2\r\n"), std::string::npos);
    EXPECT_NE(Command("u", "UID SEARCH CHARSET UTF-8 OR BODY there UID 3").find("* SEARCH 1 2 3\r\n"),
              std::string::npos);
    EXPECT_NE(Command("v", "SEARCH CHARSET KOI8-R ALL").find("v NO [BADCHARSET"), std::string::npos);
    EXPECT_NE(Command("i", "FETCH 4 FLAGS").find("i BAD"), std::string::npos);
    EXPECT_NE(Command("j", "UID FETCH 9:10 FLAGS").find("j OK"), std::string::npos);
    {
        std::lock_guard<std::mutex> guard(box->lock);
        box->Find("Inbox")->messages.back().missing = true;
    }
    reply = Command("k", "UID FETCH 1:* BODY.PEEK[]");
    EXPECT_NE(reply.find("* 2 FETCH"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("UID " + std::to_string(third)), std::string::npos) << reply;
    EXPECT_NE(reply.find("k NO"), std::string::npos) << reply;
}

TEST_F(ImapSession, StoreCopyMoveAndExpunge) {
    for (int i = 0; i < 3; ++i) box->Deliver("Inbox", kMessage);
    LoginAndSelect();
    std::string reply = Command("a", "STORE 1 +FLAGS (\\Deleted $Work)");
    EXPECT_NE(reply.find("* 1 FETCH (FLAGS (\\Deleted $Work))"), std::string::npos) << reply;
    EXPECT_EQ(Command("b", "UID STORE 2 FLAGS.SILENT (\\Flagged)").find("FETCH"), std::string::npos);
    EXPECT_NE(Command("c", "SEARCH FLAGGED").find("* SEARCH 2\r\n"), std::string::npos);
    reply = Command("d", "COPY 1:2 Trash");
    EXPECT_NE(reply.find("d OK [COPYUID 1003 1:2 1:2]"), std::string::npos) << reply;
    EXPECT_NE(Command("e", "COPY 1 Nowhere").find("e NO [TRYCREATE]"), std::string::npos);
    reply = Command("f", "UID MOVE 3 Sent");
    EXPECT_NE(reply.find("* OK [COPYUID 1002 3 1]"), std::string::npos) << reply;
    EXPECT_NE(reply.find("* 3 EXPUNGE"), std::string::npos) << reply;
    reply = Command("g", "EXPUNGE");
    EXPECT_NE(reply.find("* 1 EXPUNGE\r\ng OK"), std::string::npos) << reply;
    EXPECT_NE(Command("h", "FETCH 1 UID").find("* 1 FETCH (UID 2)"), std::string::npos);
    // Another session's changes reach this one after the next command.
    box->SetFlagsBehind("Inbox", 2, mailbox::kAnswered);
    box->Deliver("Inbox", kMessage);
    reply = Command("i", "NOOP");
    EXPECT_NE(reply.find("* 2 EXISTS"), std::string::npos) << reply;
    EXPECT_NE(reply.find("* 1 FETCH (UID 2 FLAGS (\\Answered))"), std::string::npos) << reply;
    box->ExpungeBehind("Inbox", 2);
    // Not during FETCH with sequence numbers (RFC 3501 7.4.1), then at NOOP.
    EXPECT_EQ(Command("j", "FETCH 1 FLAGS").find("EXPUNGE"), std::string::npos);
    EXPECT_NE(Command("k", "STATUS Trash (MESSAGES)").find("* 1 EXPUNGE\r\n* 1 EXISTS\r\nk OK"), std::string::npos);
}

TEST_F(ImapSession, AppendWithLiteralsAndLimits) {
    box->appendLimit = 100;
    settings.maxAppendLiteral = 200;
    LoginAndSelect();
    Send("a APPEND INBOX (\\Seen) \" 8-Dec-2026 10:00:00 +0100\" {" + std::to_string(kMessage.size()) + "}\r\n");
    EXPECT_EQ(ReadUntil("\r\n"), "+ Ready for literal data\r\n");
    Send(kMessage + "\r\n");
    std::string reply = ReadTagged("a");
    EXPECT_NE(reply.find("a OK [APPENDUID 1001 1]"), std::string::npos) << reply;
    // LITERAL+ needs no continuation; the store's limit answers TOOBIG.
    reply = Command("b", "APPEND Sent {150+}\r\n" + std::string(150, 'x'));
    EXPECT_NE(reply.find("b NO [TOOBIG]"), std::string::npos) << reply;
    // Over the session's limit: refused before any byte, the connection goes on.
    reply = Command("c", "APPEND Sent {5000}");
    EXPECT_NE(reply.find("c NO [TOOBIG]"), std::string::npos) << reply;
    EXPECT_NE(Command("d", "STATUS Sent (MESSAGES UIDNEXT)").find("* STATUS \"Sent\" (MESSAGES 0 UIDNEXT 1)"),
              std::string::npos);
    // Unasked bytes of an over-limit LITERAL+ would be read as commands: the connection ends.
    reply = Command("e", "APPEND Sent {5000+}");
    EXPECT_NE(reply.find("* BYE"), std::string::npos) << reply;
}

TEST_F(ImapSession, IdleSeesDeliveryAndDone) {
    LoginAndSelect();
    Send("i IDLE\r\n");
    EXPECT_EQ(ReadUntil("\r\n"), "+ idling\r\n");
    box->Deliver("Inbox", kMessage);
    EXPECT_NE(ReadUntil("EXISTS\r\n").find("* 1 EXISTS"), std::string::npos);
    Send("DONE\r\n");
    EXPECT_NE(ReadUntil("\r\n").find("i OK"), std::string::npos);
}

TEST_F(ImapSession, BadInputAndFolders) {
    Start();
    EXPECT_NE(Command("a", "FROB").find("a BAD"), std::string::npos);
    EXPECT_NE(Command("b", std::string("NOOP x\0y", 8)).find("b BAD"), std::string::npos);
    Command("l", "LOGIN alice secret");
    EXPECT_NE(Command("c", "EXPUNGE").find("c BAD"), std::string::npos);
    EXPECT_NE(Command("d", "SELECT \"&Jjo\"").find("d BAD"), std::string::npos);
    EXPECT_NE(Command("e", "CREATE \"Entw&APw-rfe/2026\"").find("e OK"), std::string::npos);
    EXPECT_NE(Command("f", "CREATE inbox").find("f NO [ALREADYEXISTS]"), std::string::npos);
    EXPECT_NE(Command("f2", "CREATE inbox/Sub").find("f2 OK"), std::string::npos);
    EXPECT_NE(Command("f3", "LIST \"\" INBOX*").find("* LIST (\\HasChildren) \"/\" \"INBOX\"\r\n"
                                                  "* LIST (\\HasNoChildren) \"/\" \"INBOX/Sub\""),
              std::string::npos);
    std::string reply = Command("g", "LIST \"\" \"*\"");
    EXPECT_NE(reply.find("* LIST (\\HasChildren) \"/\" \"INBOX\""), std::string::npos) << reply;
    EXPECT_NE(reply.find("* LIST (\\HasNoChildren \\Sent) \"/\" \"Sent\""), std::string::npos) << reply;
    EXPECT_NE(reply.find("\"Entw&APw-rfe/2026\""), std::string::npos) << reply;
    EXPECT_NE(Command("h", "RENAME \"Entw&APw-rfe/2026\" Old").find("h OK"), std::string::npos);
    EXPECT_NE(Command("i", "RENAME Sent Other").find("i NO [CANNOT]"), std::string::npos);
    reply = Command("j", "LIST \"\" \"%\"");
    EXPECT_NE(reply.find("\"Old\""), std::string::npos) << reply;
    EXPECT_NE(Command("k", "DELETE Old").find("k OK"), std::string::npos);
    EXPECT_NE(Command("m", "STATUS Old (MESSAGES)").find("m NO [NONEXISTENT]"), std::string::npos);
    EXPECT_NE(Command("n", "SEARCH ALL").find("n BAD"), std::string::npos);
    EXPECT_NE(Command("o", "NAMESPACE").find("* NAMESPACE ((\"\" \"/\")) NIL NIL"), std::string::npos);
}

TEST_F(ImapSession, LockTakenThroughPop3RefusesImap) {
    // The listeners of every module keep their records in the one process table.
    CLoginThrottle pop3("POP3", &g_loginLocks);
    CLoginThrottle imap("IMAP", &g_loginLocks);
    const CClientAddress guesser = CClientAddress::FromText("198.51.100.77");
    CLoginThrottle::Policy policy;
    for (int i = 0; i < policy.lockFailures; ++i) pop3.Failed(guesser, policy);
    EXPECT_TRUE(imap.IsLocked(guesser, policy));
    environment.throttle = &imap;
    Start("198.51.100.77");
    const std::string reply = Command("a", "LOGIN alice secret");
    EXPECT_NE(reply.find("* BYE"), std::string::npos) << reply;
    g_loginLocks.Succeeded(guesser.ClientKey());
}

}  // namespace
