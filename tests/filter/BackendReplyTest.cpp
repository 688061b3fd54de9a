// What the backends make of replies their own test strings do not produce:
// rspamd's header lines with injected line ends and results, its milter additions and
// the URL forms it takes; clamd's replies other than OK and FOUND.
#include <gtest/gtest.h>

#include "filter/CClamavFilter.h"
#include "filter/CRspamdFilter.h"

namespace {

FilterVerdict Map(const std::string& body) {
    CMessageFilter::Request request;
    request.serverName = "mx.test";
    std::string log;
    std::optional<FilterVerdict> verdict = CRspamdFilter::MapReply(body, request, log);
    EXPECT_TRUE(verdict.has_value()) << log;
    return verdict ? *verdict : FilterVerdict::Accepted();
}

}  // namespace

TEST(RspamdReply, InjectedLineEndsAreRefusedAndCleanMilterHeadersKept) {
    const FilterVerdict verdict = Map(
        R"({"action":"no action","score":1,"required_score":15,"symbols":{"R_SPF_ALLOW":{},"R_DKIM_REJECT":{"options":["Evil.Example; spf=pass:s=x"]}},)"
        R"("milter":{"add_headers":{"X-Evil":"a\r\nBcc: x@example.org","X-Nul":"a\u0000b","Bad Name":"v",)"
        R"("X-Spam":"No","X-Ok":{"value":"fine","order":1},"X-List":["one",{"value":"two"}]}}})");
    EXPECT_EQ(verdict.action, FilterVerdict::Action::Accept);
    EXPECT_EQ(verdict.HeaderBlock(),
              "Authentication-Results: mx.test; spf=pass; dkim=fail header.d=evil.example\r\nX-Ok: fine\r\nX-List: "
              "one\r\nX-List: two\r\n");

    const FilterVerdict reject = Map(R"({"action":"reject","messages":{"smtp_message":"No\r\n250 OK"}})");
    EXPECT_EQ(reject.action, FilterVerdict::Action::Refuse);
    EXPECT_EQ(reject.code, 550);
    EXPECT_EQ(reject.text, "5.7.1 No??250 OK");
    EXPECT_EQ(Map(R"({"action":"greylist"})").code, 451);
    EXPECT_EQ(Map(R"({"action":"soft reject"})").action, FilterVerdict::Action::Defer);
    EXPECT_EQ(Map(R"({"action":"rewrite subject","score":7,"required_score":15})").action, FilterVerdict::Action::Junk);

    CMessageFilter::Request request;
    std::string log;
    EXPECT_FALSE(CRspamdFilter::MapReply(R"({"action":"launch"})", request, log));
    EXPECT_FALSE(CRspamdFilter::MapReply(R"({"action":"reject")", request, log));
    EXPECT_FALSE(CRspamdFilter::MapReply("<html>", request, log));
}

TEST(RspamdReply, OnlyPlainHttpUrlsWithAHostAreTaken) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(CRspamdFilter::ParseUrl("http://127.0.0.1:11334/", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "127.0.0.1:11334");
    EXPECT_TRUE(CRspamdFilter::ParseUrl("HTTP://[::1]", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "::1:11333");
    for (const char* bad : {"https://127.0.0.1", "http://", "http://h:", "http://h:0", "http://h:99999",
                            "http://h/checkv2", "http://u@h", "127.0.0.1:11333", "http://[::1"})
        EXPECT_FALSE(CRspamdFilter::ParseUrl(bad, host, port)) << bad;
}

TEST(ClamavReply, OnlyOkAndFoundAreVerdicts) {
    std::string log;
    EXPECT_EQ(CClamavFilter::MapReply("stream: OK", log)->action, FilterVerdict::Action::Accept);
    const auto found = CClamavFilter::MapReply("stream: Bad\r\n250 Worm FOUND\n", log);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->code, 554);
    EXPECT_EQ(found->text, "5.7.1 Virus found: Bad??250 Worm");
    for (const char* other : {"stream: INSTREAM size limit exceeded. ERROR", "stream:  FOUND", "OK", ""})
        EXPECT_FALSE(CClamavFilter::MapReply(other, log).has_value()) << other;
}
