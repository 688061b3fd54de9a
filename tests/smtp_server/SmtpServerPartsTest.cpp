// The SMTP server module's parts on their own: address parsing, client
// networks and the relay rule, recipient decisions, the DATA stream
// (end of data, dot removal, line ends, size limit) and the bounded reader.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "NullAccountDatabase.h"
#include "TestContent.h"
#include "CClientAddress.h"
#include "CDataReceiver.h"
#include "CLineReader.h"
#include "CRecipientResolver.h"
#include "CSmtpAuthentication.h"
#include "CSmtpPath.h"
#include "foundation/CTempMailContent.h"
#include "platform/UniqueFd.h"
#include "spool/MailRecipient.h"

namespace {

using Network = CClientAddress::Network;

Network NetworkOf(const std::string& text) {
    CClientAddress address = CClientAddress::FromText(text);
    EXPECT_TRUE(address.IsValid()) << text;
    return address.Classify();
}

// An account database that answers from fixed tables and records what it was asked.
class FakeDatabase : public NullAccountDatabase {
public:
    std::vector<std::string> asked;
    bool relayAllowed = false;
    bool connected = true;

    CLocalAccount* FindAccountForDomain(const std::string& user, const std::string& domain) override {
        asked.push_back("domain-account " + user + " " + domain);
        return nullptr;
    }
    CLocalAccount* LookupLocalAccount(const std::string& user) override {
        asked.push_back("account " + user);
        return nullptr;
    }
    bool GetDomain(const std::string& domain, std::string& defaultUser, bool& forward) override {
        asked.push_back("domain " + domain);
        defaultUser = "alice";
        forward = true;
        return domain == "office.example";
    }
    SQLHDBC GetConnectionHandle() override { return connected ? reinterpret_cast<SQLHDBC>(this) : nullptr; }
    bool IsRelayAllowed(const std::string& address) override {
        asked.push_back("relay " + address);
        return relayAllowed;
    }
};

// Runs bytes through a receiver in pieces of the given size; returns the stored text.
struct Received {
    std::string text;
    std::size_t used = 0;
    bool complete = false;
    bool overflowed = false;
    int dots = 0;
};

Received Receive(const std::string& stream, std::size_t piece, std::uint64_t limit = 1 << 30) {
    CTempMailContent content;
    EXPECT_TRUE(content.Open());
    CDataReceiver receiver(content, limit);
    Received result;
    while (result.used < stream.size() && !receiver.Complete()) {
        const std::size_t size = std::min(piece, stream.size() - result.used);
        const std::size_t used = receiver.Feed(stream.data() + result.used, size);
        result.used += used;
        if (used < size) break;
    }
    EXPECT_TRUE(receiver.Finish());
    result.complete = receiver.Complete();
    result.overflowed = receiver.Overflowed();
    result.dots = receiver.DotsCount();
    result.text = ReadAll(content);
    return result;
}

}  // namespace

TEST(SmtpServerPath, ParsesPathsAndParametersAndRefusesMalformedOnes) {
    // The null path, Postmaster and plain paths are the module test's.
    CSmtpPath path;
    ASSERT_EQ(path.Parse("from: <Bob.Smith+tag@[192.0.2.1]>  SIZE=1200 body=8bitmime", "FROM:"), CSmtpPath::Status::Ok);
    EXPECT_EQ(path.LocalPart(), "Bob.Smith+tag");
    EXPECT_EQ(path.Domain(), "[192.0.2.1]");
    std::string_view list = path.Parameters();
    std::string keyword, value;
    ASSERT_TRUE(CSmtpPath::NextParameter(list, keyword, value));
    EXPECT_EQ(keyword + "=" + value, "SIZE=1200");
    ASSERT_TRUE(CSmtpPath::NextParameter(list, keyword, value));
    EXPECT_EQ(keyword + "=" + value, "BODY=8bitmime");
    EXPECT_FALSE(CSmtpPath::NextParameter(list, keyword, value));

    ASSERT_EQ(path.Parse("TO:<@relay.example,@other.example:carol@example.net>", "TO:"), CSmtpPath::Status::Ok);
    EXPECT_EQ(path.Address(), "carol@example.net");
    ASSERT_EQ(path.Parse("TO:<x@[IPv6:::1]>", "TO:"), CSmtpPath::Status::Ok);

    // Malformed and overlong paths are refused.
    for (const char* bad : {"FROM:alice@example.org", "FROM:<alice@example.org", "FROM:<alice@example.org>x",
                            "FROM:<a b@example.org>", "FROM:<alice@>", "FROM:<@example.org>", "FROM:<.a@example.org>",
                            "FROM:<a..b@example.org>", "FROM:<\"quoted\"@example.org>", "FROM:<a@exa_mple.org>",
                            "FROM:<a@-example.org>", "FROM:<a@example..org>", "FROM:<a@[300.1.1.1]>", "FROM:<a@b@c>",
                            "TO:<a@example.org>", "FROM:<a<b@example.org>", "FROM:<a@exam'ple.org>"})
        EXPECT_EQ(path.Parse(bad, "FROM:"), CSmtpPath::Status::BadSyntax) << bad;
    EXPECT_EQ(path.Parse("FROM:<" + std::string(65, 'a') + "@example.org>", "FROM:"), CSmtpPath::Status::TooLong);
    EXPECT_EQ(path.Parse("FROM:<" + std::string(64, 'a') + "@example.org>", "FROM:"), CSmtpPath::Status::Ok);
    std::string longDomain;
    for (int i = 0; i < 5; ++i) longDomain += std::string(60, 'd') + ".";
    EXPECT_EQ(path.Parse("FROM:<a@" + longDomain + "org>", "FROM:"), CSmtpPath::Status::TooLong);
    EXPECT_FALSE(CSmtpPath::IsDomainName(std::string(64, 'a') + ".org"));
}

TEST(SmtpServerAddress, ClassifiesClientNetworks) {
    for (const char* loopback : {"127.0.0.1", "127.45.6.7", "::1", "::ffff:127.0.0.1"})
        EXPECT_EQ(NetworkOf(loopback), Network::Loopback) << loopback;
    for (const char* privateAddress :
         {"10.0.0.1", "10.255.255.255", "172.16.0.1", "172.31.255.254", "192.168.1.10", "169.254.3.4", "fc00::1",
          "fd12:3456::9", "fe80::1", "febf::1", "::ffff:192.168.0.7"})
        EXPECT_EQ(NetworkOf(privateAddress), Network::Private) << privateAddress;
    for (const char* publicAddress : {"8.8.8.8", "172.15.255.255", "172.32.0.1", "192.169.0.1", "169.255.0.1",
                                      "11.0.0.1", "0.0.0.0", "fec0::1", "2001:db8::1", "::ffff:8.8.8.8", "::"})
        EXPECT_EQ(NetworkOf(publicAddress), Network::Public) << publicAddress;
    EXPECT_EQ(CClientAddress::FromText("::ffff:10.1.2.3").Text(), "10.1.2.3");
    EXPECT_FALSE(CClientAddress::FromText("10.1.2").IsValid());
}

TEST(SmtpServerRelay, OnlyLoopbackPermittedRangesOrPrivateNetworksRelay) {
    struct Case {
        const char* client;
        std::uint32_t ipBlocking;
        bool tableAllows;
        bool relays;
        bool tableAsked;
    };
    const Case cases[] = {
        {"127.0.0.1", 1, false, true, false},   {"::1", 0, false, true, false},
        {"192.168.1.5", 0, false, true, false}, {"fd00::5", 0, false, true, false},
        {"203.0.113.9", 0, true, false, false}, {"2001:db8::5", 0, false, false, false},
        {"192.168.1.5", 1, false, false, true}, {"203.0.113.9", 1, true, true, true},
        {"fd00::5", 1, true, false, false},
    };
    for (const Case& c : cases) {
        FakeDatabase database;
        database.relayAllowed = c.tableAllows;
        CRecipientResolver resolver(&database, CClientAddress::FromText(c.client), c.ipBlocking, {"mailhost"});
        CRecipientResolver::Decision decision = resolver.Resolve("carol", "example.net");
        EXPECT_EQ(decision.code, c.relays ? 250 : 554) << c.client << " blocking " << c.ipBlocking;
        if (c.relays) {
            ASSERT_NE(decision.recipient, nullptr);
            EXPECT_EQ(decision.recipient->user, "carol");
            EXPECT_EQ(decision.recipient->domain, "example.net");
            EXPECT_EQ(decision.recipient->account, nullptr);
        }
        const bool asked = !database.asked.empty() && database.asked.back().rfind("relay ", 0) == 0;
        EXPECT_EQ(asked, c.tableAsked) << c.client;
        if (asked) {
            EXPECT_EQ(database.asked.back(), std::string("relay ") + c.client);
        }
        // A login relays from anywhere, until the session forgets it.
        resolver.SetAuthenticated(true);
        EXPECT_EQ(resolver.Resolve("carol", "example.net").code, 250) << c.client;
        resolver.SetAuthenticated(false);
        EXPECT_EQ(resolver.Resolve("carol", "example.net").code, c.relays ? 250 : 554) << c.client;
    }
}

TEST(SmtpServerAuthentication, DecodesPlainLoginAndCramMd5AndChecksTheDigest) {
    using Auth = CSmtpAuthentication;
    std::string user, password, digest;
    EXPECT_TRUE(Auth::DecodePlain("AGFsaWNlAHNlY3JldDEy", user, password));  // "\0alice\0secret12"
    EXPECT_EQ(user + "/" + password, "alice/secret12");
    EXPECT_TRUE(Auth::DecodePlain("YWxpY2UAYWxpY2UAcHc=", user, password));  // own authorisation identity
    EXPECT_FALSE(Auth::DecodePlain("Ym9iAGFsaWNlAHB3", user, password));     // "bob\0alice\0pw": somebody else's
    EXPECT_FALSE(Auth::DecodePlain("AGFsaWNlAA==", user, password));         // no password
    EXPECT_FALSE(Auth::DecodePlain("AGFsaWNlAHNlY3JldDEy=", user, password));
    EXPECT_TRUE(Auth::DecodeLoginLine("YWxpY2U=", user, Auth::kMaxName));
    EXPECT_EQ(user, "alice");
    // RFC 2195's example exchange.
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    ASSERT_TRUE(Auth::DecodeCramResponse("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", user, digest));
    EXPECT_EQ(user, "tim");
    EXPECT_TRUE(Auth::CramMatches(challenge, "tanstaaftanstaaf", digest));
    EXPECT_FALSE(Auth::CramMatches(challenge, "tanstaaftanstaaF", digest));
    EXPECT_NE(Auth::Challenge("mail.test"), Auth::Challenge("mail.test"));
}

TEST(SmtpServerRelay, LocalDomainsAreNeverRelayedAndUnknownUsersAreRefused) {
    FakeDatabase database;
    CRecipientResolver resolver(&database, CClientAddress::FromText("203.0.113.9"), 0, {"mailhost", "mailhost.corp"});
    for (const char* served :
         {"localhost", "LocalHost", "127.0.0.1", "[127.0.0.1]", "mailhost", "MAILHOST.corp", "office.example"})
        EXPECT_TRUE(resolver.IsServedDomain(served)) << served;
    for (const char* other : {"corp", "example.net", "[10.0.0.1]", "localhost.example"})
        EXPECT_FALSE(resolver.IsServedDomain(other)) << other;

    // A local domain from an outside client: looked up, not relayed, refused as unknown.
    database.asked.clear();
    EXPECT_EQ(resolver.Resolve("Nobody", "office.example").code, 550);
    const std::vector<std::string> lookups = {"domain office.example", "account Nobody",
                                              "domain-account Nobody office.example", "account nobody",
                                              "domain-account nobody office.example"};
    EXPECT_EQ(database.asked, lookups);

    // A local part that cannot name an account never reaches a statement.
    database.asked.clear();
    EXPECT_EQ(resolver.Resolve("o'brien", "localhost").code, 550);
    EXPECT_TRUE(database.asked.empty());

    // Without a database connection the answer is "try later", not "no such user".
    database.connected = false;
    EXPECT_EQ(resolver.Resolve("alice", "localhost").code, 451);
}

TEST(SmtpServerData, EndsOnlyAtCrLfDotCrLfUnstuffsDotsAndKeepsToTheLimit) {
    // Every input is also fed one byte at a time: the result must not depend on the pieces.
    struct Case {
        std::string stream;
        std::string stored;
        std::size_t used;
        int dots;
    };
    const std::vector<Case> cases = {
        {"Subject: x\r\n\r\nbody\r\n.\r\nQUIT\r\n", "Subject: x\r\n\r\nbody\r\n", 23, 0},
        {".\r\n", "", 3, 0},
        {"..\r\n...x\r\n.y\r\n.\r\n", ".\r\n..x\r\ny\r\n", 17, 3},
        {"bare\nlines\r\n.\r\n", "bare\r\nlines\r\n", 15, 0},
        // A "." line next to a bare LF is text: the data goes on.
        {"a\n.\r\nb\r\n.\n\r\n.\r\n", "a\r\n\r\nb\r\n\r\n\r\n", 15, 2},
        {"a\r\n.x\r\n.\rz\r\n.\r\n", "a\r\nx\r\n\rz\r\n", 15, 2},
        {"cr\ronly\r\n.\r\n", "cr\ronly\r\n", 12, 0},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{2}}) {
            Received r = Receive(c.stream, piece);
            EXPECT_TRUE(r.complete) << c.stream;
            EXPECT_EQ(r.text, c.stored) << c.stream << " piece " << piece;
            EXPECT_EQ(r.used, c.used) << c.stream;
            EXPECT_EQ(r.dots, c.dots) << c.stream;
        }
    }
    EXPECT_FALSE(Receive("no end\r\n.\n", 4).complete);
    // The size limit is inclusive; reading an oversize message to its end is the module test's.
    EXPECT_FALSE(Receive(std::string(10, 'y') + "\r\n.\r\n", 3, 12).overflowed);
    EXPECT_TRUE(Receive(std::string(11, 'y') + "\r\n.\r\n", 3, 12).overflowed);
}

TEST(SmtpServerLineReader, LimitsAndEnds) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    UniqueFd server(pair[0]), client(pair[1]);
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    CLineReader reader(server.Get(), stop.Get(), 512, 200);
    // 510 characters and CR LF fit; one more does not.
    const std::string longest(510, 'a'), out = longest + "\r\n" + longest + "a\r\nNOOP\n";
    ASSERT_EQ(::write(client.Get(), out.data(), out.size()), static_cast<ssize_t>(out.size()));
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::Ok);
    EXPECT_EQ(line, longest);
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::TooLong);
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::Ok);
    EXPECT_EQ(line, "NOOP");
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::TimedOut);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(stop.Get(), &one, sizeof one), 8);
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::Stopped);
    CLineReader after(server.Get(), -1, 512, 200);
    client.Reset();
    EXPECT_EQ(after.ReadLine(line), CLineReader::Status::Closed);
}

TEST(SmtpServerLineReader, ALineThatNeverEndsIsGivenUp) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    UniqueFd server(pair[0]), client(pair[1]);
    CLineReader reader(server.Get(), -1, 512, 5000);
    std::thread writer([&] {
        const std::string block(65536, 'z');
        std::size_t total = 0;
        while (total < CLineReader::kMaxDiscard + 2 * block.size()) {
            ssize_t n = ::send(client.Get(), block.data(), block.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            total += static_cast<std::size_t>(n);
        }
    });
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), CLineReader::Status::Failed);
    server.Reset();  // the writer's next send fails
    writer.join();
}
