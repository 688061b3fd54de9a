// MX resolution against a real name server (dnsmasq) on loopback: ordering,
// the MXCache row and its three-day rule, NXDOMAIN and empty answers, the
// name-server list (the DNS key's, else the system resolver configuration's),
// silent servers, and the 1/2/0 results of Connect with mail-exchanger look-up.
#include <ctime>
#include <fstream>
#include <sstream>

#include "DatabaseTest.h"
#include "TestPeers.h"
#include "app/RegistryCommand.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "smtp/CMxResolver.h"
#include "smtp/CSmtpConnection.h"

using namespace std::chrono_literals;

namespace {

std::string LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

class MxResolverTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        ASSERT_TRUE(
            dns.Start(home.File("dnsmasq.log"),
                      {"--mx-host=pref.test,second-ten.pref.test,10", "--mx-host=pref.test,first-ten.pref.test,10",
                       "--mx-host=pref.test,twenty.pref.test,20", "--host-record=nomx.test,127.0.0.2",
                       "--mx-host=refuse.test,127.0.0.1,10", "--mx-host=good.test,127.0.0.1,10"}));
        SetSettingString(settings::kDnsKeyPath, "#1", dns.Entry());
    }
    std::string Cached(const std::string& domain) {
        return Text("SELECT MXServerName FROM MXCache WHERE Domain = '" + SqlEscape(domain) + "'");
    }
    void Cache(const std::string& domain, const std::string& hosts, int daysAgo) {
        ASSERT_TRUE(
            Exec(StringPrintf("INSERT INTO MXCache VALUES ('%s','%s','%s')", SqlEscape(domain).c_str(),
                              SqlEscape(hosts).c_str(), LocalTime(std::time(nullptr) - daysAgo * 86400 - 60).c_str())));
    }

    DnsPeer dns;
};

void Greet(PeerLink& link) {
    std::string line;
    link.Send("220 mx ready\r\n");
    link.ReadLine(line);
    link.Send("250 hello\r\n");
    link.ReadLine(line);
    link.Send("221 bye\r\n");
}

}  // namespace

TEST_F(MxResolverTest, ExchangersInPreferenceOrderAreCached) {
    CMxResolver resolver;
    const std::vector<std::string> hosts = resolver.ResolveMx("pref.test");
    EXPECT_TRUE(resolver.serverReached);
    ASSERT_EQ(hosts.size(), 3u);
    // The server answers 20, 10, 10; both hosts of preference 10 come first.
    EXPECT_EQ(hosts, (std::vector<std::string>{"FIRST-TEN.PREF.TEST", "SECOND-TEN.PREF.TEST", "TWENTY.PREF.TEST"}));
    EXPECT_EQ(Cached("pref.test"), "FIRST-TEN.PREF.TEST,SECOND-TEN.PREF.TEST,TWENTY.PREF.TEST");
    const std::string fetched = Text("SELECT FetchTime FROM MXCache WHERE Domain = 'pref.test'");
    EXPECT_GE(fetched, LocalTime(std::time(nullptr) - 60));
    EXPECT_LE(fetched, LocalTime(std::time(nullptr) + 60));
    EXPECT_EQ(dns.QueryCount("pref.test"), 1);
}

TEST_F(MxResolverTest, FreshCacheIsUsedAndOldCacheReplaced) {
    Cache("cached.test", " \"Mail\" mx-a.cached.test , mx-b.cached.test ", 2);
    {
        CMxResolver resolver;
        EXPECT_EQ(resolver.ResolveMx("CACHED.test"),
                  (std::vector<std::string>{"mx-a.cached.test", "mx-b.cached.test"}));
        EXPECT_FALSE(resolver.serverReached);
    }
    EXPECT_EQ(dns.QueryCount("CACHED.test"), 0);

    Cache("pref.test", "OLD.EXAMPLE.ORG", 4);
    CMxResolver resolver;
    ASSERT_EQ(resolver.ResolveMx("pref.test").size(), 3u);
    EXPECT_EQ(dns.QueryCount("pref.test"), 1);
    EXPECT_EQ(Text("SELECT count(*) FROM MXCache WHERE Domain = 'pref.test'"), "1");
    EXPECT_EQ(Cached("pref.test"), "FIRST-TEN.PREF.TEST,SECOND-TEN.PREF.TEST,TWENTY.PREF.TEST");
}

TEST_F(MxResolverTest, NameErrorStoresNothingAndNoMxStoresAnEmptyList) {
    {
        CMxResolver resolver;
        EXPECT_TRUE(resolver.ResolveMx("unknown.test").empty());
        EXPECT_TRUE(resolver.serverReached);
    }
    EXPECT_EQ(Cached("unknown.test"), "<none>");
    for (int round = 1; round <= 2; ++round) {
        CMxResolver resolver;
        EXPECT_TRUE(resolver.ResolveMx("nomx.test").empty());
        EXPECT_TRUE(resolver.serverReached);
        // An empty cached list does not spare the next question.
        EXPECT_EQ(dns.QueryCount("nomx.test"), round);
    }
    EXPECT_EQ(Cached("nomx.test"), "");
    EXPECT_EQ(Text("SELECT count(*) FROM MXCache WHERE Domain = 'nomx.test'"), "1");
}

TEST_F(MxResolverTest, NameServersAreAskedInOrder) {
    const std::string closed = "127.0.0.1:" + std::to_string(ClosedPort());
    SetSettingString(settings::kDnsKeyPath, "#1", closed);
    SetSettingString(settings::kDnsKeyPath, "#2", dns.Entry());
    SetSettingString(settings::kDnsKeyPath, "Note", "not a server");  // makes "#3" missing
    CMxResolver resolver;
    EXPECT_EQ(resolver.NameServers(), (std::vector<std::string>{closed, dns.Entry()}));
    EXPECT_EQ(resolver.ResolveMx("pref.test").size(), 3u);
    EXPECT_TRUE(resolver.serverReached);

    DeleteSetting(settings::kDnsKeyPath, "#1");
    DeleteSetting(settings::kDnsKeyPath, "#2");
    DeleteSetting(settings::kDnsKeyPath, "Note");
    CMxResolver fallback(home.File("no-resolv.conf"));
    EXPECT_EQ(fallback.NameServers(), (std::vector<std::string>{settings::kDefaultDnsServer}));
}

TEST_F(MxResolverTest, ResolverConfigurationServesWhenTheKeyNamesNoServer) {
    const std::string conf = home.File("resolv.conf");
    std::ofstream(conf) << "# written by hand\n"
                           "search example.test\n"
                           "nameserver 127.0.0.1 ; the local cache\n"
                           "nameserver not-an-address\n"
                           "nameserver 192.0.2.1 192.0.2.2\n"
                           ";nameserver 192.0.2.3\n"
                           "nameservers 192.0.2.4\n"
                           "\tnameserver\t::1\r\n";
    // A value in the DNS key wins over the configuration.
    EXPECT_EQ(CMxResolver(conf).NameServers(), (std::vector<std::string>{dns.Entry()}));
    DeleteSetting(settings::kDnsKeyPath, "#1");
    EXPECT_EQ(CMxResolver(conf).NameServers(), (std::vector<std::string>{"127.0.0.1", "::1"}));
    // Three servers at most, as the system's resolver takes.
    EXPECT_EQ(CMxResolver::ResolvConfServers("nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver "
                                             "192.0.2.3\nnameserver 192.0.2.4"),
              (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.3"}));

    // The shell stores only name servers given by literal address.
    auto reg = [](std::vector<std::string> args) {
        std::ostringstream out, err;
        return RegistryCommand::Run(args, out, err);
    };
    EXPECT_EQ(reg({"set", "DNS", "#1", "string", "not-an-address"}), 1);
    EXPECT_EQ(reg({"set", "DNS", "#1", "string", "127.0.0.1:70000"}), 1);
    EXPECT_EQ(reg({"set", "DNS", "#1", "string", "[::1]:0"}), 1);
    EXPECT_EQ(CMxResolver(conf).NameServers(), (std::vector<std::string>{"127.0.0.1", "::1"}));
    for (const char* good : {"192.0.2.1", "2001:db8::1", "192.0.2.1:5353", "[2001:db8::1]:5353"}) {
        EXPECT_EQ(reg({"set", "DNS", "#1", "string", good}), 0) << good;
        EXPECT_EQ(CMxResolver(conf).NameServers(), (std::vector<std::string>{good}));
    }
}

TEST_F(MxResolverTest, UnaskableDomainsAndSilentServersGiveNothing) {
    {
        CMxResolver resolver;
        EXPECT_TRUE(resolver.ResolveMx("a.b.c.d.e.f.g.h.i.j.test").empty());
        EXPECT_TRUE(resolver.ResolveMx(std::string(64, 'x') + ".test").empty());
        EXPECT_FALSE(resolver.serverReached);
    }
    // A server that never answers, and one that announces more than it sends.
    ScriptedPeer silent([](PeerLink& link) {
        std::string rest;
        link.ReadUntil("never", rest, 5s);
    });
    ScriptedPeer short_([](PeerLink& link) {
        std::string rest;
        link.ReadUntil(std::string("\x00\x0f\x00\x01", 4), rest, 5s);
        link.Send(std::string("\x01\x00\x42\x42\x81\x80", 6));
    });
    for (int port : {silent.Port(), short_.Port()}) {
        SetSettingString(settings::kDnsKeyPath, "#1", "127.0.0.1:" + std::to_string(port));
        CMxResolver resolver;
        resolver.SetReplyWait(300ms);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(resolver.ResolveMx("pref.test").empty());
        EXPECT_TRUE(resolver.serverReached);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    }
    EXPECT_EQ(Cached("pref.test"), "<none>");
}

TEST_F(MxResolverTest, ConnectWithLookupResults) {
    {  // the exchanger (127.0.0.1) greets on the given port
        ScriptedPeer exchanger(Greet);
        CSmtpConnection smtp;
        EXPECT_EQ(smtp.Connect("good.test", exchanger.Port(), true), 1);
        smtp.Quit();
    }
    CSmtpConnection smtp;
    // Every exchanger refuses: 0, although a name server was reached.
    EXPECT_EQ(smtp.Connect("refuse.test", ClosedPort(), true), 0);
    // No exchanger, a name server reached, the domain itself unreachable: 2.
    EXPECT_EQ(smtp.Connect("nomx.test", ClosedPort(), true), 2);
    EXPECT_EQ(smtp.Connect("unknown.test", ClosedPort(), true), 2);
    EXPECT_FALSE(smtp.IsConnected());
    // No name server reachable: 0.
    SetSettingString(settings::kDnsKeyPath, "#1", "127.0.0.1:" + std::to_string(ClosedPort()));
    EXPECT_EQ(smtp.Connect("nomx.test", ClosedPort(), true), 0);
}
