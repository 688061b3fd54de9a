// The MX query and the reply parser on hand-made messages: preference
// ordering, name compression, and hostile replies from the fuzz corpus
// (loops, forward pointers, truncation, oversized counts, labels and names)
// that must end the parse with nothing.
#include <gtest/gtest.h>

#include "HostileInputs.h"
#include "smtp/CMxResolver.h"
#include "smtp/DnsMessage.h"

namespace {

// Builds a reply: header, one question for "pref.test", then answers.
class Reply {
public:
    explicit Reply(std::uint16_t answers, std::uint16_t flags = 0x8180) {
        U16({0x4242, flags, 1, answers, 0, 0});
        Name("pref.test");
        U16({dns::kTypeMx, dns::kClassIn});
    }
    // Big-endian 16-bit values.
    void U16(std::initializer_list<unsigned> values) {
        for (unsigned v : values)
            bytes.insert(bytes.end(), {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)});
    }
    void Labels(const std::string& dotted) {
        std::size_t start = 0;
        while (start <= dotted.size()) {
            std::size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) dot = dotted.size();
            bytes.push_back(static_cast<unsigned char>(dot - start));
            bytes.insert(bytes.end(), dotted.begin() + static_cast<long>(start),
                         dotted.begin() + static_cast<long>(dot));
            start = dot + 1;
        }
    }
    void Name(const std::string& dotted) {
        Labels(dotted);
        bytes.push_back(0);
    }
    void Pointer(std::size_t offset) { U16({static_cast<unsigned>(0xC000 | offset)}); }
    // Owner (pointer to the question), type, class, TTL, then rdata by `data`.
    void Record(std::uint16_t type, const std::vector<unsigned char>& data) {
        Pointer(12);
        U16({type, dns::kClassIn, 0, 300, static_cast<unsigned>(data.size())});
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    // An MX record whose exchange is `labels` then, if given, a pointer.
    std::size_t Mx(std::uint16_t preference, const std::string& labels, int pointer = -1) {
        Reply rdata(0);
        rdata.bytes.clear();
        rdata.U16({preference});
        if (!labels.empty()) rdata.Labels(labels);
        if (pointer >= 0)
            rdata.Pointer(static_cast<std::size_t>(pointer));
        else
            rdata.bytes.push_back(0);
        const std::size_t exchangeAt = bytes.size() + 12 + 2;
        Record(dns::kTypeMx, rdata.bytes);
        return exchangeAt;
    }
    dns::ReplyStatus Parse(std::vector<std::string>& names) const {
        std::list<dns::MxRecord> records;
        std::uint16_t id = 0;
        const dns::ReplyStatus status = dns::ParseMxReply(bytes.data(), bytes.size(), records, id);
        names.clear();
        for (const auto& r : records) names.push_back(r.exchange);
        if (status == dns::ReplyStatus::Answered) {
            EXPECT_EQ(id, 0x4242);
        }
        return status;
    }

    std::vector<unsigned char> bytes;
};

using Names = std::vector<std::string>;

}  // namespace

TEST(DnsMessage, QueryCarriesTheDomainAndRefusesWhatItCannotHold) {
    std::vector<unsigned char> header, question;
    ASSERT_TRUE(dns::BuildMxQuery("Example.org.", 0x1234, header, question));
    EXPECT_EQ(header, (std::vector<unsigned char>{0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}));
    const std::vector<unsigned char> expected = {7,   'E', 'x', 'a', 'm', 'p', 'l', 'e', 3,
                                                 'o', 'r', 'g', 0,   0,   15,  0,   1};
    EXPECT_EQ(question, expected);
    ASSERT_TRUE(dns::BuildMxQuery("Example.org", 0x1234, header, question));
    EXPECT_EQ(question, expected);

    EXPECT_TRUE(dns::BuildMxQuery("a.b.c.d.e.f.g.h.i.test", 1, header, question));     // 10 labels
    EXPECT_FALSE(dns::BuildMxQuery("a.b.c.d.e.f.g.h.i.j.test", 1, header, question));  // 11
    EXPECT_TRUE(dns::BuildMxQuery(std::string(63, 'x') + ".test", 1, header, question));
    EXPECT_FALSE(dns::BuildMxQuery(std::string(64, 'x') + ".test", 1, header, question));
    const std::string label(63, 'y');
    EXPECT_FALSE(dns::BuildMxQuery(label + "." + label + "." + label + "." + label + ".test", 1, header, question));
    for (const char* bad : {"", ".", "a..test", ".test"})
        EXPECT_FALSE(dns::BuildMxQuery(bad, 1, header, question)) << bad;
}

TEST(DnsMessage, RecordsAreOrderedByPreferenceAsInserted) {
    Names names;
    Reply mixed(3);
    mixed.Mx(20, "twenty.pref.test");
    mixed.Mx(10, "ten-a.pref.test");
    mixed.Mx(10, "ten-b.pref.test");
    ASSERT_EQ(mixed.Parse(names), dns::ReplyStatus::Answered);
    EXPECT_EQ(names, (Names{"TEN-A.PREF.TEST", "TEN-B.PREF.TEST", "TWENTY.PREF.TEST"}));

    // Equal preferences: each later one goes straight after the head.
    Reply equal(3);
    equal.Mx(10, "x.test");
    equal.Mx(10, "y.test");
    equal.Mx(10, "z.test");
    ASSERT_EQ(equal.Parse(names), dns::ReplyStatus::Answered);
    EXPECT_EQ(names, (Names{"X.TEST", "Z.TEST", "Y.TEST"}));
}

TEST(DnsMessage, CompressedNamesAndOtherRecordTypes) {
    Reply reply(4);
    reply.Record(5, {3, 'w', 'w', 'w', 0xC0, 12});      // a CNAME, skipped
    const std::size_t first = reply.Mx(10, "mx1", 12);  // "mx1" + the question's name
    reply.Mx(20, "", static_cast<int>(first));          // the whole first exchange again
    reply.Mx(30, "bad,name.test");                      // would corrupt the cache text: dropped
    Names names;
    ASSERT_EQ(reply.Parse(names), dns::ReplyStatus::Answered);
    EXPECT_EQ(names, (Names{"MX1.PREF.TEST", "MX1.PREF.TEST"}));
}

TEST(DnsMessage, HostileRepliesEndWithNothing) {
    const auto inputs = HostileInputs("fuzz_dnsreply");
    EXPECT_GE(inputs.size(), 12u);
    for (const auto& [name, bytes] : inputs) {
        std::list<dns::MxRecord> records;
        std::uint16_t id = 0;
        const dns::ReplyStatus status =
            dns::ParseMxReply(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), records, id);
        EXPECT_EQ(status, name == "hostile_nxdomain_flags" ? dns::ReplyStatus::ErrorCode : dns::ReplyStatus::Malformed)
            << name;
        EXPECT_TRUE(records.empty()) << name;
    }
}

TEST(DnsMessage, CacheTextSplitsIntoCleanHostNames) {
    std::vector<std::string> hosts;
    dns::SplitHostList(" mx1.example.org , \"Mail Exchanger\" mx2.example.org,, \t", hosts);
    EXPECT_EQ(hosts, (Names{"mx1.example.org", "mx2.example.org"}));

    // Joined text never outgrows what the cache column is read back into.
    std::list<dns::MxRecord> records;
    for (int i = 0; i < 40; ++i) records.push_back({10, std::string(40, 'a') + std::to_string(i) + ".TEST"});
    const std::string joined = dns::JoinExchanges(records);
    EXPECT_LE(joined.size(), dns::kMaxJoinedLength);
    hosts.clear();
    dns::SplitHostList(joined, hosts);
    ASSERT_FALSE(hosts.empty());
    for (std::size_t i = 0; i < hosts.size(); ++i)
        EXPECT_EQ(hosts[i], std::string(40, 'a') + std::to_string(i) + ".TEST");
}

TEST(DnsMessage, NameServerEntries) {
    const struct {
        const char* entry;
        const char* host;
        int port;
    } good[] = {{"127.0.0.1:5353", "127.0.0.1", 5353},
                {" 10.0.0.1 ", "10.0.0.1", 53},
                {"[::1]:5300", "::1", 5300},
                {"fd00::53", "fd00::53", 53}};
    std::string host;
    int port = 0;
    for (const auto& g : good) {
        ASSERT_TRUE(CMxResolver::ParseNameServer(g.entry, host, port)) << g.entry;
        EXPECT_EQ(host, g.host);
        EXPECT_EQ(port, g.port);
    }
    for (const char* bad : {"", "host:", "host:99999", "host:5x", ":53", "[::1"})
        EXPECT_FALSE(CMxResolver::ParseNameServer(bad, host, port)) << bad;
}
