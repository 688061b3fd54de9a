// `velmora domain` and `velmora setup --domain`: a listed domain is one the
// account database answers for, which is what makes the SMTP module and
// routing treat its mail as local.
#include <gtest/gtest.h>

#include <sstream>

#include "TestHome.h"
#include "app/AccountCommand.h"
#include "app/DomainCommand.h"
#include "app/SetupCommand.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"

namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

Result Domain(std::vector<std::string> args) {
    std::ostringstream out, err;
    int rc = DomainCommand::Run(args, out, err);
    return {rc, out.str(), err.str()};
}

// The look-up the SMTP module makes for an address of a served domain.
std::string AccountFor(const std::string& user, const std::string& domain) {
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    CMailDatabase db;
    if (!db.Connect()) return "<no connection>";
    std::string defaultUser;
    bool forward = false;
    if (!db.GetDomain(domain, defaultUser, forward)) return "<not served>";
    std::unique_ptr<CLocalAccount> account(db.FindAccountForDomain(user, domain));
    return account ? account->GetUserName() : "<no account>";
}

}  // namespace

TEST(DomainCommand, AddListDeleteDecideWhoseMailIsLocal) {
    TestHome home;
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--domain", "Example.ORG"}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("Domain example.org added"), std::string::npos) << out.str();
    std::istringstream none;
    ASSERT_EQ(
        AccountCommand::Run({"add", "alice", "--password", "a", "--email", "alice@example.org"}, none, out, err, false),
        0);
    EXPECT_EQ(AccountFor("alice", "example.org"), "alice");
    EXPECT_EQ(AccountFor("ghost", "example.org"), "<no account>");
    EXPECT_EQ(AccountFor("alice", "example.net"), "<not served>");

    // Setup again and a second add change nothing.
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--domain", "example.org"}, out, err), 0);
    EXPECT_EQ(Domain({"add", "example.org"}).out, "Domain example.org is served here already\n");
    ASSERT_EQ(Domain({"add", "branch.example.org", "--catch-all", "alice"}).rc, 0);
    EXPECT_EQ(AccountFor("ghost", "branch.example.org"), "alice");
    EXPECT_EQ(Domain({"list"}).out, "branch.example.org  catch-all alice\nexample.org\n");

    for (const char* bad : {"exa mple.org", "x-.org", "x..org", "10.0.0.1", "o'brien.org", "[127.0.0.1]"}) {
        Result r = Domain({"add", bad});
        EXPECT_EQ(r.rc, 1) << bad;
        EXPECT_NE(r.err.find("is not a domain name"), std::string::npos) << r.err;
    }
    EXPECT_NE(Domain({"add", "other.org", "--catch-all", "nobody"}).err.find("no account named nobody"),
              std::string::npos);
    EXPECT_EQ(Domain({"add"}).rc, 64);

    ASSERT_EQ(Domain({"delete", "EXAMPLE.org"}).rc, 0);
    EXPECT_EQ(AccountFor("alice", "example.org"), "<not served>");
    EXPECT_NE(Domain({"delete", "example.org"}).err.find("is not served here"), std::string::npos);
}
