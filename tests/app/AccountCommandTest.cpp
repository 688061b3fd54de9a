// `velmora account`, `velmora domain` and the postmaster and domain steps of
// `velmora setup`: the user editor's checks from the shell, answered in the
// shell's words with the real cause, against a real home; a listed domain is
// one the account database answers for, which makes its mail local.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include "TestHome.h"
#include "foundation/CAccountRows.h"
#include "app/AccountCommand.h"
#include "app/CommandLine.h"
#include "app/DomainCommand.h"
#include "app/SetupCommand.h"
#include "delivery/CLocalAccount.h"
#include "store/CUserRecord.h"
#include "foundation/CMailDatabase.h"

namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

Result Account(std::vector<std::string> args, const std::string& input = "", bool interactive = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    int rc = AccountCommand::Run(args, in, out, err, interactive);
    return {rc, out.str(), err.str()};
}

CAccountRows::LoginResult Login(const std::string& name, const std::string& password) {
    CMailDatabase db;
    if (!db.Connect()) return CAccountRows::LoginResult::Failed;
    return CAccountRows::CheckLogin(db.GetConnectionHandle(), name, password);
}

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

class AccountCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home.Provision()); }
    TestHome home;
};

}  // namespace

TEST_F(AccountCommandTest, AddThenListShowsTheAccountAndItsTree) {
    Result r = Account({"add", "rita", "--password", "s3cret", "--email", "rita@example.org", "--admin",
                        "--mailbox-limit", "2048", "--receive-limit", "512"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "Account rita created (administrator); its mail is kept in " + home.File("mail/QIRN1") + "\n");
    r = Account({"list"});
    ASSERT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("rita"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rita@example.org"), std::string::npos);
    EXPECT_NE(r.out.find("QIRN1"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(home.File("mail/QIRN1/ApprovalMail")));  // the tree (all in delivery)
    EXPECT_EQ(Login("rita", "s3cret"), CAccountRows::LoginResult::Administrator);

    // The password may come from the input instead of the command line.
    r = Account({"add", "sam", "--email", "sam@example.org"}, "from stdin\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Login("sam", "from stdin"), CAccountRows::LoginResult::User);

    // An address with a display name, as altering an account takes it.
    r = Account({"add", "bob", "--password", "b", "--email", "Bob <bob@example.net>"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(Account({"list"}).out.find("Bob <bob@example.net>"), std::string::npos);
}

TEST_F(AccountCommandTest, RefusalsNameTheCauseAndPasswdChangesOnlyWhatIsNew) {
    EXPECT_EQ(Account({"add", "--password", "x", "--email", "a@b.c"}).err,
              "velmora account: the account's name is missing: velmora account add NAME\n");
    const std::pair<std::vector<std::string>, const char*> refusals[] = {
        {{"add", "tom", "--password", "", "--email", "a@b.c"}, "the password is empty"},
        {{"add", "tom", "--password", "x"}, "add --email ADDR"},
        {{"add", "../tom", "--password", "x", "--email", "a@b.c"}, "cannot be an account name"},
        {{"add", "tom", "--password", "x", "--email", "Tom <a@b.c"}, "is not an e-mail address"},
        {{"passwd", "nobody", "--password", "x"}, "there is no account named nobody"}};
    for (const auto& [args, says] : refusals) EXPECT_NE(Account(args).err.find(says), std::string::npos) << says;
    ASSERT_EQ(Account({"add", "tom", "--password", "x", "--email", "tom@b.c"}).rc, 0);
    Result r = Account({"add", "Tom", "--password", "y", "--email", "tom@b.c"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "velmora account: an account named Tom exists already\n");
    for (const char* bad : {"--bogus", "--send-limit"})
        EXPECT_EQ(Account({"add", "ulla", "--password", "x", "--email", "u@b.c", bad, "-5"}).rc, 64) << bad;
    EXPECT_EQ(Account({"frobnicate"}).rc, 64);

    // A settings file that does not parse is named, with its line.
    const std::string settings = TestHome::ReadFile(home.File("settings.reg"));
    TestHome::WriteFile(home.File("settings.reg"), settings + "not a setting\n");
    r = Account({"add", "ulla", "--password", "x", "--email", "u@b.c"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("the settings file cannot be read: " + home.File("settings.reg") + ": line "),
              std::string::npos)
        << r.err;
    TestHome::WriteFile(home.File("settings.reg"), settings);
    EXPECT_EQ(Account({"list"}).out.find("ulla"), std::string::npos);

    // passwd changes only what is new.
    ASSERT_EQ(Account({"add", "vera", "--password", "one", "--email", "vera@b.c"}).rc, 0);
    EXPECT_EQ(Account({"passwd", "vera", "--password", "one"}).err,
              "velmora account: the new password is the same as the current one; nothing was changed\n");
    Result p = Account({"passwd", "vera"}, "two\n");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.out, "Password of vera changed\n");
    EXPECT_EQ(Login("vera", "two"), CAccountRows::LoginResult::User);
    EXPECT_EQ(Login("vera", "one"), CAccountRows::LoginResult::WrongPassword);
    EXPECT_NE(Account({"passwd", "vera"}, "").err.find("the password is empty"), std::string::npos);
    EXPECT_NE(Account({"passwd", "vera"}, "three\nthree-ish\n", true).err.find("passwords typed differ"),
              std::string::npos);
}

TEST_F(AccountCommandTest, DeleteNeedsAConfirmationProtectsThePostmasterAndKeepsMail) {
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::EnsurePostmaster("pm-pass", out, err), 0) << err.str();
    EXPECT_NE(Account({"delete", "postmaster", "--yes"}).err.find("the postmaster account cannot be deleted"),
              std::string::npos);
    ASSERT_EQ(Account({"add", "walt", "--password", "w", "--email", "walt@b.c"}).rc, 0);
    TestHome::WriteFile(home.File("mail/QIRN2/Inbox/kept.mel"), "mail that stays");

    // Nobody can answer on a pipe: without --yes nothing happens.
    Result r = Account({"delete", "walt"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("standard input is not a terminal"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--yes"), std::string::npos);
    // On a terminal anything but yes keeps the account.
    r = Account({"delete", "walt"}, "n\n", true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("Its mail stays in " + home.File("mail/QIRN2")), std::string::npos) << r.out;
    EXPECT_NE(Account({"list"}).out.find("walt"), std::string::npos);

    r = Account({"delete", "walt", "--yes"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "Account walt deleted; its mail stays in " + home.File("mail/QIRN2") +
                         " (remove it to free the space)\n");
    EXPECT_EQ(TestHome::ReadFile(home.File("mail/QIRN2/Inbox/kept.mel")), "mail that stays");
    EXPECT_NE(Account({"delete", "walt", "--yes"}).err.find("there is no account named walt"), std::string::npos);
    EXPECT_EQ(Account({"list"}).out.find("walt"), std::string::npos);
}

TEST(SetupPostmaster, SetupMakesThePostmasterOnceWithTheGivenPassword) {
    TestHome home;
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--postmaster-password", "first"}, out, err), 0) << err.str();
    EXPECT_EQ(Login("postmaster", "first"), CAccountRows::LoginResult::Administrator);
    std::ostringstream again;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--postmaster-password", "second"}, again, err), 0);
    EXPECT_EQ(Login("postmaster", "first"), CAccountRows::LoginResult::Administrator);
    EXPECT_EQ(SetupCommand::Run(home.Path(), {"--bogus"}, again, err), 64);
}

TEST(SetupPostmaster, AGeneratedPasswordIsShownOnceAndWorks) {
    TestHome home;
    std::ostringstream generated, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {}, generated, err), 0) << err.str();
    const std::string text = generated.str();
    const std::string marker = "postmaster password: ";
    const std::size_t at = text.find(marker);
    ASSERT_NE(at, std::string::npos) << text;
    const std::size_t start = at + marker.size();
    const std::string password = text.substr(start, text.find(' ', start) - start);
    EXPECT_EQ(password.size(), 16u);
    EXPECT_EQ(Login("postmaster", password), CAccountRows::LoginResult::Administrator);
    std::ostringstream quiet;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {}, quiet, err), 0);
    EXPECT_EQ(quiet.str().find(marker), std::string::npos);
}

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

// set is the editor's Alter: the address and a limit change, the password
// stays; a bad address and the last administrator's rights are refused with
// nothing changed. The program's help names every account command.
TEST_F(AccountCommandTest, SetChangesTheAddressAndLimitsAsTheEditorAllows) {
    ASSERT_EQ(Account({"add", "rita", "--password", "s3cret", "--email", "rita@example.org", "--admin"}).rc, 0);
    const auto record = [] {
        CMailDatabase db;
        EXPECT_TRUE(db.Connect());
        const std::optional<long> id = CAccountRows::AccountIdByName(db.GetConnectionHandle(), "rita");
        EXPECT_TRUE(id);
        const CUserRecord r(db.GetConnectionHandle(), id.value_or(0));
        return std::make_tuple(r.GetEmailId(), r.GetRecvmailLimit(), r.GetSendMailLimit(), r.IsAdmin());
    };
    Result r = Account({"set", "rita", "--email", "Rita <rita@example.net>", "--receive-limit", "300"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const auto changed = std::make_tuple(std::string("Rita <rita@example.net>"), 300u, 0u, true);
    EXPECT_EQ(record(), changed);
    EXPECT_EQ(Login("rita", "s3cret"), CAccountRows::LoginResult::Administrator);

    r = Account({"set", "rita", "--email", "rita at example", "--send-limit", "5"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "velmora account: \"rita at example\" is not an e-mail address: write user@domain or "
                     "\"Name <user@domain>\"\n");
    r = Account({"set", "rita", "--admin", "off"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("rita is the only administrator and keeps its rights"), std::string::npos) << r.err;
    EXPECT_EQ(record(), changed);
    EXPECT_NE(Account({"set", "nobody", "--admin", "on"}).err.find("there is no account named nobody"),
              std::string::npos);
    EXPECT_EQ(Account({"set", "rita", "--admin", "maybe"}).rc, 64);
    EXPECT_EQ(Account({"set", "rita"}).rc, 64);

    std::ostringstream help;
    CommandLine::PrintProgramUsage(help);
    for (const char* command : {"account set NAME", "account autoresponse USER", "account forward USER"})
        EXPECT_NE(help.str().find(command), std::string::npos) << command;
}
