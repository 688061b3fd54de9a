// CMailSpooler: InsertMail's ownership, its honest 1/0 result, and the
// spooler's own find/read/remove operations.
#include "ScriptedContent.h"
#include "SpoolTestSupport.h"

#include "spool/CMailSpooler.h"
#include "spool/SpoolFile.h"

#include <regex>

using namespace spooltest;

namespace {

class SpoolerTest : public SpoolTest {
protected:
    MailInfo* Scripted(bool* destroyed, long failAfter = -1, std::uint32_t lengthDelta = 0) {
        auto info = new MailInfo;
        info->sender = "s@x";
        AddRemote(*info, "r", "d");
        auto content = std::make_unique<ScriptedContent>(std::string(5000, 'm'), destroyed);
        content->failAfter = failAfter;
        content->lengthDelta = lengthDelta;
        info->content = std::move(content);
        return info;
    }
};

}  // namespace

TEST_F(SpoolerTest, InsertMailReportsOneOnlyForACompleteFileAndAlwaysFreesTheMessage) {
    CMailSpooler spooler(&db);
    EXPECT_EQ(spooler.InsertMail(nullptr), 0);

    bool destroyed = false;
    EXPECT_EQ(spooler.InsertMail(Scripted(&destroyed)), 1);
    EXPECT_TRUE(destroyed);
    ASSERT_EQ(SpoolEntries().size(), 1u);
    ASSERT_EQ(::unlink(("SMTPSpooler/" + SpoolEntries()[0]).c_str()), 0);

    struct Case {
        const char* what;
        long failAfter;
        std::uint32_t lengthDelta;
    };
    for (const Case& c : {Case{"read error half-way", 2000, 0}, Case{"content longer than announced", -1, 0xFFFFFFFFu},
                          Case{"content shorter than announced", -1, 1}}) {
        destroyed = false;
        EXPECT_EQ(spooler.InsertMail(Scripted(&destroyed, c.failAfter, c.lengthDelta)), 0) << c.what;
        EXPECT_TRUE(destroyed) << c.what;
        EXPECT_TRUE(SpoolEntries().empty()) << c.what << ": nothing partial stays";
    }

    auto noContent = new MailInfo;
    AddRemote(*noContent, "r", "d");
    EXPECT_EQ(spooler.InsertMail(noContent), 0);

    auto hugeName = new MailInfo;
    hugeName->content = Content("x");
    AddRemote(*hugeName, std::string(spool::kMaxStringLength + 1, 'n'), "d");
    EXPECT_EQ(spooler.InsertMail(hugeName), 0);
    EXPECT_TRUE(SpoolEntries().empty());

    ASSERT_EQ(::rename("SMTPSpooler", "Elsewhere"), 0);
    destroyed = false;
    EXPECT_EQ(spooler.InsertMail(Scripted(&destroyed)), 0);
    EXPECT_TRUE(destroyed);
    ASSERT_EQ(::rename("Elsewhere", "SMTPSpooler"), 0);
}

TEST_F(SpoolerTest, FindReadAndRemoveWorkOnTheCurrentFileAndIgnoreHiddenOnes) {
    CMailSpooler spooler(&db);
    TestHome::WriteFile("SMTPSpooler/.SMF1.part", "half");
    EXPECT_EQ(spooler.FindSpoolFile(), 0);
    EXPECT_EQ(spooler.ReadSpoolFile(), nullptr);

    // An empty recipient slot is skipped and the count stays true.
    auto info = Mail("s@x", "hello");
    AddRemote(*info, "first", "d");
    info->recipients.push_back(nullptr);
    AddRemote(*info, "third", "d");
    ASSERT_EQ(spooler.InsertMail(info.release()), 1);
    ASSERT_EQ(spooler.FindSpoolFile(), 1);
    EXPECT_TRUE(std::regex_match(spooler.GetCurrentFile(), std::regex("SMTPSpooler/SMF[0-9A-F]+\\.tmp")));
    std::unique_ptr<MailInfo> back(spooler.ReadSpoolFile());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(ReadAll(*back->content), "hello");
    ASSERT_EQ(back->recipients.size(), 2u);
    EXPECT_EQ(back->recipients[0]->user + " " + back->recipients[1]->user, "first third");
    spooler.RemoveSpoolFile();
    EXPECT_EQ(spooler.FindSpoolFile(), 0);
    EXPECT_EQ(SpoolEntries(), std::vector<std::string>{".SMF1.part"});
}
