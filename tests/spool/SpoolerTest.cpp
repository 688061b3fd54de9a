// CMailSpooler: InsertMail's ownership, its honest 1/0 result, its log
// lines, and the spooler's own find/read/remove operations.
#include "SpoolTestSupport.h"
#include "TestPeers.h"

#include "spool/CMailSpooler.h"
#include "spool/SpoolFile.h"

#include <regex>
#include <sstream>

using namespace spooltest;

namespace {

// Content that fails or lies on demand and reports its own destruction.
class ScriptedContent : public CMailContent {
public:
    ScriptedContent(std::string text, bool* destroyed) : text(std::move(text)), destroyed(destroyed) {}
    ~ScriptedContent() override { *destroyed = true; }
    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(text.size()) + lengthDelta; }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        if (failAfter >= 0 && position >= static_cast<std::size_t>(failAfter)) return -1;
        const std::size_t n = std::min<std::size_t>({count, text.size() - position, 1000});
        std::memcpy(buffer, text.data() + position, n);
        position += n;
        return static_cast<int>(n);
    }
    bool Write(const void*, std::uint32_t) override { return false; }
    bool Open() override { return true; }

    std::string text;
    bool* destroyed;
    std::size_t position = 0;
    long failAfter = -1;
    std::uint32_t lengthDelta = 0;
};

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

TEST_F(SpoolerTest, NoneEntriesAreSkippedAndTheCountStaysTrue) {
    CMailSpooler spooler(&db);
    auto info = Mail("s@x", "m");
    AddRemote(*info, "first", "d");
    info->recipients.push_back(nullptr);
    AddRemote(*info, "third", "d");
    ASSERT_EQ(spooler.InsertMail(info.release()), 1);

    ASSERT_EQ(spooler.FindSpoolFile(), 1);
    std::unique_ptr<MailInfo> back(spooler.ReadSpoolFile());
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->recipients.size(), 2u);
    EXPECT_EQ(back->recipients[0]->user, "first");
    EXPECT_EQ(back->recipients[1]->user, "third");
}

TEST_F(SpoolerTest, FindReadAndRemoveWorkOnTheCurrentFileAndIgnoreHiddenOnes) {
    CMailSpooler spooler(&db);
    TestHome::WriteFile("SMTPSpooler/.SMF1.part", "half");
    EXPECT_EQ(spooler.FindSpoolFile(), 0);
    EXPECT_EQ(spooler.ReadSpoolFile(), nullptr);

    auto info = Mail("s@x", "hello");
    AddRemote(*info, "r", "d");
    ASSERT_EQ(spooler.InsertMail(info.release()), 1);
    ASSERT_EQ(spooler.FindSpoolFile(), 1);
    EXPECT_TRUE(std::regex_match(spooler.GetCurrentFile(), std::regex("SMTPSpooler/SMF[0-9A-F]+\\.tmp")));
    std::unique_ptr<MailInfo> back(spooler.ReadSpoolFile());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(ReadAll(*back->content), "hello");
    spooler.RemoveSpoolFile();
    EXPECT_EQ(spooler.FindSpoolFile(), 0);
    EXPECT_EQ(SpoolEntries(), std::vector<std::string>{".SMF1.part"});
}
