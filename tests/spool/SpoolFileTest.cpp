// Spool files: the exact record layout, the recipient rules applied when a
// file is read back, and refusal of every truncated or malformed file.
#include "HostileInputs.h"
#include "SpoolTestSupport.h"

#include "spool/CSpoolDraft.h"
#include "spool/CSpoolFilePool.h"
#include "spool/SpoolFile.h"

#include <regex>

#include <fcntl.h>
#include <sys/stat.h>

using namespace spooltest;

namespace {

std::string U32(std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

// Each recipient read back as user@domain, with "#id" when it is a local account.
std::vector<std::string> Recipients(const MailInfo& info) {
    std::vector<std::string> seen;
    for (const auto& r : info.recipients)
        seen.push_back(r->user + "@" + r->domain +
                       (r->account ? "#" + std::to_string(r->account->GetAccountId()) : ""));
    return seen;
}

class SpoolFileTest : public SpoolTest {
protected:
    // Writes info and returns the file's bytes.
    std::string Spool(MailInfo& info) {
        std::string path;
        EXPECT_TRUE(WriteSpoolFile(info, "SMTPSpooler", &path));
        lastPath = path;
        return TestHome::ReadFile(path);
    }
    std::unique_ptr<MailInfo> ReadBack(spool::ReadResult expected = spool::ReadResult::Ok) {
        spool::ReadResult result = spool::ReadResult::Ok;
        auto info = ReadSpoolFile(lastPath, &db, &result);
        EXPECT_EQ(result, expected);
        EXPECT_EQ(info != nullptr, expected == spool::ReadResult::Ok);
        return info;
    }
    std::string lastPath;
};

}  // namespace

TEST_F(SpoolFileTest, RecordLayoutCoversAllThreeLengthFormsAndReadsBack) {
    AddAccount(1, "alice");
    const std::string sender(254, 's');
    const std::string user255(255, 'u');
    const std::string userFFFD(0xFFFD, 'v');
    const std::string domainFFFE(0xFFFE, 'd');
    const std::string text("Subject: t\r\n\r\nbody\0\xff binary", 26);
    auto info = Mail(sender, text);
    AddLocal(*info, "alice", "example.org");
    AddRemote(*info, user255, "");
    AddRemote(*info, userFFFD, domainFFFE);
    info->DotsCount = -7;
    info->mayRelay = true;

    const std::string bytes = Spool(*info);
    EXPECT_TRUE(std::regex_match(lastPath, std::regex("SMTPSpooler/SMF[0-9A-F]+\\.tmp")));
    EXPECT_EQ(SpoolEntries().size(), 1u) << "no hidden part file stays";

    // Lengths below 255 in one byte, then FF + two bytes, then FF FF FF + four; octal escapes end after 3 digits.
    const std::string expected =
        "\xFE" + sender + U32(3) + "\0011\005alice\013example.org" + std::string("\0010\377\377\000", 5) + user255 +
        std::string(1, '\0') + "\0010\377\375\377" + userFFFD + std::string("\377\377\377\376\377\000\000", 7) +
        domainFFFE + U32(0xFFFFFFF9u) + U32(static_cast<std::uint32_t>(text.size())) + text + "VLMR\x01";
    ASSERT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);

    auto back = ReadBack();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->sender, sender);
    EXPECT_EQ(back->DotsCount, -7);
    EXPECT_TRUE(back->mayRelay);
    EXPECT_EQ(Recipients(*back),
              (std::vector<std::string>{"alice@example.org#1", user255 + "@", userFFFD + "@" + domainFFFE}));
    ASSERT_NE(back->content, nullptr);
    EXPECT_EQ(back->content->GetLength(), text.size());
    EXPECT_TRUE(ReadAll(*back->content) == text);
    EXPECT_TRUE(std::filesystem::exists(lastPath)) << "reading never removes the file";
}

TEST_F(SpoolFileTest, AMessageReceivedIntoItsSpoolFileIsByteForByteTheSameFile) {
    AddAccount(1, "alice");
    const std::string text("Subject: t\r\n\r\nbody\0\xff binary", 26);
    auto make = [&] {
        auto info = Mail("s@example.org", text);
        AddLocal(*info, "alice", "example.org");
        AddRemote(*info, "r", "remote.example");
        info->DotsCount = 3;
        info->mayRelay = true;
        return info;
    };
    auto copied = make();
    const std::string expected = Spool(*copied);
    std::filesystem::remove(lastPath);

    // Started before the data, as a session does, and abandoned: nothing stays.
    auto info = make();
    EXPECT_NE(CSpoolDraft::Begin("SMTPSpooler", info->sender, info->recipients), nullptr);
    EXPECT_TRUE(SpoolEntries().empty());

    // Received in two writes, then published: the same bytes as a copy.
    for (bool changedSinceBegin : {false, true}) {
        info = make();
        std::unique_ptr<CSpoolDraft> draft = CSpoolDraft::Begin("SMTPSpooler", info->sender, info->recipients);
        ASSERT_NE(draft, nullptr);
        ASSERT_TRUE(draft->Write(text.data(), 10) && draft->Write(text.data() + 10, 16));
        EXPECT_EQ(draft->GetLength(), text.size());
        // A record that no longer fits the message is written anew from the draft's content.
        if (changedSinceBegin) info->recipients.pop_back();
        info->content = std::move(draft);
        const std::string bytes = Spool(*info);
        EXPECT_TRUE(changedSinceBegin || bytes == expected);
        auto back = ReadBack();
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->recipients.size(), changedSinceBegin ? 1u : 2u);
        EXPECT_TRUE(ReadAll(*back->content) == text);
        back.reset();
        info.reset();
        EXPECT_EQ(SpoolEntries().size(), 1u) << "no hidden part file stays";
        std::filesystem::remove(lastPath);
    }
}

TEST_F(SpoolFileTest, ARoutedFileIsKeptEmptyAndBecomesTheNextSpoolFile) {
    auto info = Mail("s@example.org", "Subject: t\r\n\r\nsecret text");
    AddRemote(*info, "r", "remote.example");
    Spool(*info);
    struct stat first {};
    ASSERT_EQ(::stat(lastPath.c_str(), &first), 0);
    CSpoolFilePool::Instance().Recycle(lastPath);
    EXPECT_TRUE(SpoolEntries().empty());
    const std::vector<std::string> kept = ListDirectory("SMTPSpooler");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size("SMTPSpooler/" + kept[0]), 0u) << "no message stays in a kept file";

    auto next = Mail("t@example.org", "Subject: u\r\n\r\nhi");
    AddRemote(*next, "r", "remote.example");
    const std::string bytes = Spool(*next);
    struct stat second {};
    ASSERT_EQ(::stat(lastPath.c_str(), &second), 0);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(ListDirectory("SMTPSpooler").size(), 1u);
    EXPECT_EQ(ReadBack()->sender, "t@example.org");

    // Kept files and an earlier run's half-written part files go when the
    // spool processor starts; a part file a session is writing stays.
    CSpoolFilePool::Instance().Recycle(lastPath);
    TestHome::WriteFile("SMTPSpooler/.SMFfree12", "");
    TestHome::WriteFile("SMTPSpooler/.SMF1A.part", "cut off");
    TestHome::WriteFile("SMTPSpooler/.SMF1B.part", "being written");
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, "SMTPSpooler/.SMF1A.part", old, 0), 0);
    CSpoolFilePool::Instance().Sweep("SMTPSpooler");
    EXPECT_EQ(ListDirectory("SMTPSpooler"), std::vector<std::string>{".SMF1B.part"});
}

TEST_F(SpoolFileTest, MoreThan256RecipientsAreAllWrittenButReadBackAsThePostmaster) {
    AddAccount(9, "postmaster");
    for (std::uint32_t count : {256u, 300u}) {
        auto info = Mail("from@remote.example", "x");
        for (std::uint32_t i = 0; i < count; ++i) AddRemote(*info, "user" + std::to_string(i), "remote.example");
        const std::string bytes = Spool(*info);
        ASSERT_GT(bytes.size(), 24u);
        EXPECT_EQ(bytes.substr(20, 4), U32(count));  // after the 20-byte sender string
        auto back = ReadBack();
        ASSERT_NE(back, nullptr);
        if (count == 256) {
            ASSERT_EQ(back->recipients.size(), 256u);
            EXPECT_EQ(back->recipients[255]->user, "user255");
        } else {
            // The first record was remote, yet the postmaster is the local mailbox.
            EXPECT_EQ(Recipients(*back), std::vector<std::string>{"postmaster@#9"});
        }
        EXPECT_TRUE(ReadAll(*back->content) == "x");
    }
}

TEST_F(SpoolFileTest, LocalRecipientsAreResolvedAgainAndOneAccountGetsOneCopy) {
    AddAccount(1, "alice");
    AddAccount(2, "bob");
    AddAccount(3, "x!y");
    AddAccount(4, "y");
    auto info = Mail("s@x", "m");
    AddLocal(*info, "alice", "one.example");
    AddRemote(*info, "carol", "far.example");
    AddLocal(*info, "alice", "two.example");   // second address of the same account
    AddRemote(*info, "carol", "far.example");  // remote duplicates both stay
    AddLocal(*info, "x!y", "");
    AddLocal(*info, "y", "");  // "!y!" occurs inside "!x!y!" but is another account
    AddLocal(*info, "bob", "");
    Spool(*info);
    DeleteAccount("bob");  // gone between spooling and routing

    auto back = ReadBack();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Recipients(*back), (std::vector<std::string>{"alice@one.example#1", "carol@far.example",
                                                           "carol@far.example", "x!y@#3", "y@#4", "bob@"}));
}

TEST_F(SpoolFileTest, EmptyContentRoundTrips) {
    auto info = Mail("s@x", "");
    AddRemote(*info, "r", "d");
    const std::string bytes = Spool(*info);
    EXPECT_EQ(bytes.substr(bytes.size() - 9), U32(0) + std::string("VLMR\x00", 5));
    auto back = ReadBack();
    ASSERT_NE(back, nullptr);
    ASSERT_NE(back->content, nullptr);
    EXPECT_EQ(back->content->GetLength(), 0u);
    EXPECT_EQ(ReadAll(*back->content), "");
}

TEST_F(SpoolFileTest, TruncatedOrMalformedFilesAreRefusedAndLeftUntouched) {
    AddAccount(1, "alice");
    auto info = Mail("sender@x", "Subject: s\r\n\r\nbody\r\n");
    AddLocal(*info, "alice", "");
    AddRemote(*info, "r", "d");
    const std::string good = Spool(*info);
    const std::string path = "SMTPSpooler/SMF0BAD.tmp";

    auto expectRefused = [&](const std::string& bytes, const std::string& what) {
        TestHome::WriteFile(path, bytes);
        spool::ReadResult result = spool::ReadResult::Ok;
        EXPECT_EQ(ReadSpoolFile(path, &db, &result), nullptr) << what;
        EXPECT_EQ(result, spool::ReadResult::Malformed) << what;
        EXPECT_TRUE(TestHome::ReadFile(path) == bytes) << what;
    };
    // Without its trailer the file is one written before the trailer
    // existed: it reads, and its client had no right to relay.
    const std::size_t trailerAt = good.size() - spool::kTrailerSize;
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        if (cut != trailerAt) expectRefused(good.substr(0, cut), "cut at " + std::to_string(cut));
    TestHome::WriteFile(path, good.substr(0, trailerAt));
    auto old = ReadSpoolFile(path, &db);
    ASSERT_NE(old, nullptr);
    EXPECT_FALSE(old->mayRelay);
    EXPECT_EQ(ReadAll(*old->content), "Subject: s\r\n\r\nbody\r\n");
    old.reset();
    // A trailing byte, an unknown trailer, absurd counts and lengths.
    for (const auto& [name, bytes] : HostileInputs("fuzz_spoolfile")) expectRefused(bytes, name);
    // No temporary message file was left by any refusal.
    info.reset();
    EXPECT_TRUE(ListDirectory(tempDir).empty());
}

// Lines a filter adds go on top and the record keeps its layout; claims of
// this server's Authentication-Results from outside go, with their
// continuation lines, even behind a header line far longer than the part
// of a field the rewrite looks at. The junk verdict comes back from the file.
TEST_F(SpoolFileTest, ARewrittenDraftHasTheAddedLinesOnTopAndNoForgedResults) {
    auto info = Mail("s@example.org", "");
    AddRemote(*info, "r", "remote.example");
    std::unique_ptr<CSpoolDraft> draft = CSpoolDraft::Begin("SMTPSpooler", info->sender, info->recipients);
    ASSERT_NE(draft, nullptr);
    const std::string longLine = "X-Long: " + std::string(5000, 'a') + "\r\n";
    const std::string body = "\r\nAuthentication-Results: mx.test; body\r\n" + std::string(200000, 'b') + "\r\n";
    const std::string text = "Received: by mx.test\r\n" + longLine +
                             "Authentication-Results:  (c) MX.Test; spf=pass\r\n\tdkim=pass\r\n"
                             "authentication-results : other.example; spf=fail\r\n\tdmarc=none\r\n"
                             "Authentication-Results:\r\n\tmx.test; folded\r\nSubject: s\r\n" + body;
    ASSERT_TRUE(draft->Write(text.data(), static_cast<std::uint32_t>(text.size())));
    ASSERT_TRUE(draft->Rewrite("X-Spam: Yes\r\n", {"mx.test"}));
    ASSERT_TRUE(draft->Write("more\r\n", 6));
    info->content = std::move(draft);
    info->junk = true;
    Spool(*info);
    EXPECT_EQ(SpoolEntries().size(), 1u) << "the replaced part file is gone";
    auto back = ReadBack();
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->junk);
    EXPECT_EQ(ReadAll(*back->content),
              "X-Spam: Yes\r\nReceived: by mx.test\r\n" + longLine +
                  "authentication-results : other.example; spf=fail\r\n\tdmarc=none\r\nSubject: s\r\n" + body +
                  "more\r\n");
}
