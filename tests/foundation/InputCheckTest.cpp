// The engine's input checks that the shell commands and the console pages
// share: each bound at its edge, and the order in which faults are told.
#include <gtest/gtest.h>

#include <string>

#include "foundation/AccountEditorCheck.h"
#include "foundation/AliasNameCheck.h"
#include "foundation/ConnectionSettingsCheck.h"
#include "foundation/GatewaySettingsCheck.h"
#include "foundation/RelayRangeCheck.h"
#include "foundation/RemoteAccountCheck.h"

TEST(InputCheck, GatewayAndConnectionBoundsAtTheirEdges) {
    using G = GatewaySettingsCheck;
    EXPECT_EQ(G::CheckOutbox(std::string(259, 'd')), G::Outcome::Ok);
    EXPECT_EQ(G::CheckOutbox(std::string(260, 'd')), G::Outcome::DirectoryTooLong);
    std::uint32_t every = 5;
    EXPECT_EQ(G::CheckEvery("10081", every), G::Outcome::BadEveryMinutes);
    EXPECT_EQ(G::CheckEvery("0", every), G::Outcome::Ok);
    EXPECT_EQ(every, 0u);

    using C = ConnectionSettingsCheck;
    std::uint32_t retries = 7;
    for (const char* bad : {"", "0", "101", "+5", " 5", "5x", "0100"})
        EXPECT_EQ(C::CheckRetries(bad, retries), C::Outcome::BadRetries) << bad;
    EXPECT_EQ(retries, 7u);
    EXPECT_EQ(C::CheckRetries("100", retries), C::Outcome::Ok);
    EXPECT_EQ(retries, 100u);
    EXPECT_EQ(C::CheckInterval(""), C::Outcome::Ok);
    EXPECT_EQ(C::CheckInterval("99999"), C::Outcome::Ok);
    EXPECT_EQ(C::CheckInterval("100000"), C::Outcome::BadInterval);
    EXPECT_EQ(C::CheckInterval("-1"), C::Outcome::BadInterval);
    EXPECT_EQ(C::CheckText(std::string(1024, 'x')), C::Outcome::Ok);
    EXPECT_EQ(C::CheckText(std::string(1025, 'x')), C::Outcome::BadText);
    EXPECT_EQ(C::CheckText("a\x7f"), C::Outcome::BadText);
    EXPECT_EQ(C::CheckText("a\tb"), C::Outcome::BadText);
    EXPECT_EQ(C::CheckText("pa'ss\\word \xc3\xa9"), C::Outcome::Ok);
}

TEST(InputCheck, RelayRanges) {
    using R = RelayRangeCheck;
    EXPECT_EQ(R::CheckAdd("10.0.0.1", "10.0.0.255"), R::Outcome::Ok);
    EXPECT_EQ(R::CheckAdd("10.0.0.1", "10.0.0.1"), R::Outcome::Ok);
    EXPECT_EQ(R::CheckAdd("10.0.0.9", "10.0.0.10"), R::Outcome::Ok);  // numeric, not text order
    EXPECT_EQ(R::CheckAdd("10.0.0.2", "10.0.0.1"), R::Outcome::EndsBeforeStart);
    EXPECT_EQ(R::CheckAdd("10.0.0.256", "10.0.0.1"), R::Outcome::BadFirst);
    EXPECT_EQ(R::CheckAdd("10.0.0.1", "10.0.0"), R::Outcome::BadLast);
    // A blank end is told before any other fault.
    EXPECT_EQ(R::CheckAdd("10.0.0.1", "0.0.0.0"), R::Outcome::Blank);
    EXPECT_EQ(R::CheckAdd("0.0.0.0", "bogus"), R::Outcome::Blank);
}

TEST(InputCheck, AccountLimitsAliasNamesAndRemoteAccountFields) {
    long limit = 5;
    for (const char* bad : {"", "2147483648", "99999999999", "-1", " 1", "1k"})
        EXPECT_EQ(AccountEditorCheck::CheckLimit(bad, limit), AccountEditorCheck::Outcome::BadLimit) << bad;
    EXPECT_EQ(limit, 5);
    EXPECT_EQ(AccountEditorCheck::CheckLimit("2147483647", limit), AccountEditorCheck::Outcome::Ok);
    EXPECT_EQ(limit, 2147483647L);

    EXPECT_EQ(AliasNameCheck::Check(""), AliasNameCheck::Outcome::NoName);
    EXPECT_EQ(AliasNameCheck::Check(std::string(65, 'a')), AliasNameCheck::Outcome::NameTooLong);
    EXPECT_EQ(AliasNameCheck::Check(" sales"), AliasNameCheck::Outcome::BadName);
    EXPECT_EQ(AliasNameCheck::Check("sales@office"), AliasNameCheck::Outcome::BadName);
    EXPECT_EQ(AliasNameCheck::Check("sales team"), AliasNameCheck::Outcome::Ok);

    using A = RemoteAccountCheck;
    EXPECT_EQ(A::CheckName(std::string(64, 'n')), A::Outcome::Ok);
    EXPECT_EQ(A::CheckName(std::string(65, 'n')), A::Outcome::BadName);
    EXPECT_EQ(A::CheckName("two words"), A::Outcome::BadName);
    EXPECT_EQ(A::CheckServer(std::string(256, 's')), A::Outcome::BadServer);
    long port = 0;
    for (const char* bad : {"", "0", "65536", "110x"}) EXPECT_EQ(A::CheckPort(bad, port), A::Outcome::BadPort) << bad;
    EXPECT_EQ(A::CheckPort("65535", port), A::Outcome::Ok);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(A::CheckUser("user name"), A::Outcome::BadUser);
    EXPECT_EQ(A::CheckPassword(""), A::Outcome::Ok);
    EXPECT_EQ(A::CheckPassword("with blank"), A::Outcome::Ok);
    EXPECT_EQ(A::CheckPassword(std::string(65, 'p')), A::Outcome::BadPassword);
    EXPECT_EQ(A::CheckPassword(std::string("a\0b", 3)), A::Outcome::BadPassword);
    EXPECT_EQ(A::CheckAliasAddress("office@example.org"), A::Outcome::Ok);
    EXPECT_EQ(A::CheckAliasAddress("a.org,b.org"), A::Outcome::BadAliasAddress);
    EXPECT_EQ(A::CheckAliasAddress("a.org;b.org"), A::Outcome::BadAliasAddress);
}
