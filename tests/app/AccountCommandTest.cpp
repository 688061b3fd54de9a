// `velmora account` and the postmaster step of `velmora setup`: the user
// editor's checks and messages from the shell, against a real home.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestHome.h"
#include "app/AccountCommand.h"
#include "app/SetupCommand.h"
#include "foundation/CMailDatabase.h"

namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

Result Account(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int rc = AccountCommand::Run(args, in, out, err, false);
    return {rc, out.str(), err.str()};
}

CMailDatabase::LoginResult Login(const std::string& name, const std::string& password) {
    CMailDatabase db;
    if (!db.Connect()) return CMailDatabase::LoginResult::Failed;
    return db.CheckLogin(name, password);
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
    EXPECT_EQ(r.out, "User created\n");
    r = Account({"list"});
    ASSERT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("rita"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rita@example.org"), std::string::npos);
    EXPECT_NE(r.out.find("QIRN1"), std::string::npos);
    for (const char* folder : {"Inbox", "Sent", "Task", "Request", "Trash", "Draft", "ApprovalMail"})
        EXPECT_TRUE(std::filesystem::is_directory(home.File(std::string("mail/QIRN1/") + folder))) << folder;
    EXPECT_EQ(Login("rita", "s3cret"), CMailDatabase::LoginResult::Administrator);

    // The password may come from the input instead of the command line.
    r = Account({"add", "sam", "--email", "sam@example.org"}, "from stdin\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Login("sam", "from stdin"), CMailDatabase::LoginResult::User);
}

TEST_F(AccountCommandTest, AddAnswersWithTheEditorsMessages) {
    EXPECT_EQ(Account({"add", "--password", "x", "--email", "a@b.c"}).err, "Please enter UserName\n");
    EXPECT_EQ(Account({"add", "tom", "--password", "", "--email", "a@b.c"}).err, "Please enter Password\n");
    EXPECT_EQ(Account({"add", "tom", "--password", "x"}).err, "Please Enter User's Email Address in Identity\n");
    EXPECT_NE(Account({"add", "../tom", "--password", "x", "--email", "a@b.c"}).err.find("Invalid UserName"),
              std::string::npos);
    ASSERT_EQ(Account({"add", "tom", "--password", "x", "--email", "tom@b.c"}).rc, 0);
    Result r = Account({"add", "Tom", "--password", "y", "--email", "tom@b.c"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "User already exists\n");
    EXPECT_EQ(Account({"add", "ulla", "--password", "x", "--email", "u@b.c", "--bogus"}).rc, 64);
    EXPECT_EQ(Account({"add", "ulla", "--password", "x", "--email", "u@b.c", "--send-limit", "-5"}).rc, 64);
    EXPECT_EQ(Account({"frobnicate"}).rc, 64);
    EXPECT_EQ(Account({"list"}).out.find("ulla"), std::string::npos);
}

TEST_F(AccountCommandTest, PasswdChangesOnlyWhatIsNew) {
    ASSERT_EQ(Account({"add", "vera", "--password", "one", "--email", "vera@b.c"}).rc, 0);
    EXPECT_EQ(Account({"passwd", "nobody", "--password", "x"}).err, "No such User\n");
    EXPECT_EQ(Account({"passwd", "vera", "--password", "one"}).err, "User already exists\n");
    Result r = Account({"passwd", "vera"}, "two\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "User altered\n");
    EXPECT_EQ(Login("vera", "two"), CMailDatabase::LoginResult::User);
    EXPECT_EQ(Login("vera", "one"), CMailDatabase::LoginResult::WrongPassword);
    EXPECT_EQ(Account({"passwd", "vera"}, "").err, "Please enter Password\n");
}

TEST_F(AccountCommandTest, DeleteProtectsThePostmasterAndKeepsMail) {
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::EnsurePostmaster("pm-pass", out, err), 0) << err.str();
    EXPECT_EQ(Account({"delete", "postmaster", "--yes"}).err,
              "Selected user is the only administrator and so cannot be deleted\n");
    ASSERT_EQ(Account({"add", "walt", "--password", "w", "--email", "walt@b.c"}).rc, 0);
    TestHome::WriteFile(home.File("mail/QIRN2/Inbox/kept.mel"), "mail that stays");
    Result r = Account({"delete", "walt"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "User deleted\n");
    EXPECT_EQ(TestHome::ReadFile(home.File("mail/QIRN2/Inbox/kept.mel")), "mail that stays");
    EXPECT_EQ(Account({"delete", "walt"}).err, "User does not exist\n");
    EXPECT_EQ(Account({"delete"}).err, "Please select UserName\n");
    EXPECT_EQ(Account({"list"}).out.find("walt"), std::string::npos);
}

TEST(SetupPostmaster, SetupMakesThePostmasterOnceWithTheGivenPassword) {
    TestHome home;
    std::ostringstream out, err;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--postmaster-password", "first"}, out, err), 0) << err.str();
    EXPECT_EQ(Login("postmaster", "first"), CMailDatabase::LoginResult::Administrator);
    std::ostringstream again;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {"--postmaster-password", "second"}, again, err), 0);
    EXPECT_EQ(Login("postmaster", "first"), CMailDatabase::LoginResult::Administrator);
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
    EXPECT_EQ(Login("postmaster", password), CMailDatabase::LoginResult::Administrator);
    std::ostringstream quiet;
    ASSERT_EQ(SetupCommand::Run(home.Path(), {}, quiet, err), 0);
    EXPECT_EQ(quiet.str().find(marker), std::string::npos);
}
