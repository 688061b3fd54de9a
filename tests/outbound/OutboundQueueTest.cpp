// The outbound queue through the real database and file system: the Outbox
// file format, the rows written at queuing, sender rewriting, the reader, and
// the console's listing, preview and delete.
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "DatabaseTest.h"
#include "ScriptedContent.h"
#include "TestPeers.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "outbound/COutboundQueue.h"
#include "outbound/COutboundQueueReader.h"
#include "outbound/COutboundQueueView.h"
#include "foundation/COutboundReplies.h"

namespace {

class OutboundQueueTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) return;
        WorkInHome();
        ASSERT_TRUE(db.CreateAccount("jsmith", "secret1", false, false, "john.smith@corp.example", 0, 1, 1, 0, 0));
        ASSERT_TRUE(db.CreateAccount("noext", "secret2", false, false, "noext@corp.example", 0, 1, 1, 0, 0));
        OdbcStatement clear(Connection());
        ASSERT_TRUE(clear.ExecDirect("UPDATE Accounts SET EmailId = '' WHERE aUserName = 'noext'"));
        SetSettingDword(settings::kPreferencesKeyPath, "ChangeFromAddress", 0);
        ProcessSettings::Current().Load();
    }

    // Queues text from sender to recipients (user, domain); returns the file path.
    std::string Queue(const std::string& sender, const std::vector<std::pair<std::string, std::string>>& recipients,
                      const std::string& text) {
        COutboundQueue queue("Outbox", Connection());
        EXPECT_TRUE(queue.CreateMailFile());
        EXPECT_TRUE(queue.SetSender(sender));
        for (const auto& [user, domain] : recipients) EXPECT_TRUE(queue.AddRecipient(user, domain));
        auto content = Content(text);
        EXPECT_TRUE(queue.WriteBody(*content));
        return queue.FilePath();
    }
};

const std::string kMessage =
    "From: John Smith <jsmith@mail.local>\r\n"
    "To: ann@example.org\r\n"
    "Subject: Figures\r\n"
    "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n"
    "\r\n"
    "Body line\r\n.leading dot\r\n";

TEST_F(OutboundQueueTest, OneFileAndOneRowPerRecipientWithTheSenderRecordFirst) {
    const std::string path =
        Queue("Jane Doe <jsmith@mail.local> (desk)",
              {{"ann", "example.org"}, {"o'neil", "example.org"}, {"bob", "other.example:2525"}}, kMessage);
    EXPECT_TRUE(std::regex_match(path, std::regex("Outbox/Tes[0-9A-F]{1,4}\\.tmp"))) << path;
    EXPECT_EQ(TestHome::ReadFile(home.File(path)), std::string(1, '\x11') + "jsmith@mail.local" + kMessage);

    auto rows = Rows("SELECT * FROM OutBoundMails ORDER BY DestUser");
    ASSERT_EQ(rows.size(), 3u);
    const std::string id = std::to_string(AccountId("jsmith"));
    const std::regex date("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
    EXPECT_EQ(rows[0][0], "ann");
    EXPECT_EQ(rows[1][0], "bob");
    EXPECT_EQ(rows[1][1], "other.example:2525");
    EXPECT_EQ(rows[2][0], "o'neil");
    for (const auto& row : rows) {
        EXPECT_EQ(row[2], path);
        EXPECT_TRUE(row[3] == "0" || row[3] == "false") << row[3];
        EXPECT_EQ(row[4], "0");
        EXPECT_TRUE(std::regex_match(row[5], date)) << row[5];
        EXPECT_EQ(row[6], id);
    }
    // A sender that is no local account is queued with account 0.
    Queue("stranger@elsewhere.example", {{"x", "example.org"}}, kMessage);
    EXPECT_EQ(Rows("SELECT * FROM OutBoundMails WHERE DestUser = 'x'")[0][6], "0");
}

// The record layout itself is proven on the spool file, which shares it.
// Without the rewriting setting a message of many blocks is copied unchanged.
TEST_F(OutboundQueueTest, SenderRecordsOfEveryLengthFormRoundTrip) {
    const std::string big = kMessage + std::string(200000, 'b');
    for (std::size_t length : {254u, 255u, 65533u, 70000u}) {
        const std::string sender = std::string(length - 10, 's') + "@a.example";
        COutboundQueueReader reader("Outbox");
        ASSERT_TRUE(reader.OpenMailFile(Queue(sender, {{"ann", "example.org"}}, big)));
        EXPECT_TRUE(reader.ReadSender() == sender) << length;
        auto body = reader.ExtractBody();
        ASSERT_NE(body, nullptr);
        EXPECT_TRUE(ReadAll(*body) == big);
    }
}

TEST_F(OutboundQueueTest, ReduceSenderTakesTheBracketedAddressAndDropsAComment) {
    EXPECT_EQ(COutboundQueue::ReduceSender("Jane Doe <jane@example.org> (office)"), "jane@example.org");
    EXPECT_EQ(COutboundQueue::ReduceSender("jane@example.org (Jane)"), "jane@example.org ");
    EXPECT_EQ(COutboundQueue::ReduceSender("jane(at home@example.org"), "jane(at home@example.org");
    EXPECT_EQ(COutboundQueue::ReduceSender("<jane@example.org"), "jane@example.org");
}

TEST_F(OutboundQueueTest, ChangedSenderRewritesFromAndReplyToAndKeepsOtherLines) {
    SetSettingDword(settings::kPreferencesKeyPath, "ChangeFromAddress", 1);
    ProcessSettings::Current().Load();
    const std::string message =
        "Received: from a by b\r\n"
        "Received: from c by d\r\n"
        "From: John <jsmith@mail.local>\r\n"
        "\tcontinued\r\n"
        "REPLY-TO: old@mail.local\r\n"
        "Subject: Hi\r\n"
        "\r\n"
        "From: a body line stays\r\n";
    const std::string path = Queue("jsmith@mail.local", {{"ann", "example.org"}}, message);
    const std::string file = TestHome::ReadFile(home.File(path));
    const std::string expected =
        "Received: from a by b\r\n"
        "Received: from c by d\r\n"
        "From: john.smith@corp.example\r\n"
        "REPLY-TO: john.smith@corp.example\r\n"
        "Subject: Hi\r\n"
        "\r\n"
        "From: a body line stays\r\n";
    EXPECT_EQ(file, std::string(1, '\x17') + "john.smith@corp.example" + expected);

    // Any spelling of From is the From field (no second one); a Reply-To not
    // written "REPLY-TO" is the user's own and stays.
    const std::string lower =
        Queue("jsmith", {{"ann", "example.org"}}, "FROM: x@mail.local\r\nReply-To: team@mail.local\r\n\r\nbody");
    EXPECT_EQ(TestHome::ReadFile(home.File(lower)).substr(24),
              "FROM: john.smith@corp.example\r\nReply-To: team@mail.local\r\n\r\nbody");

    // A header that does not end within the first 6144 bytes is left as it is.
    std::string longHeader = "From: x@mail.local\r\nX-Pad: " + std::string(7000, 'p') + "\r\n\r\nbody";
    const std::string kept = Queue("jsmith@mail.local", {{"ann", "example.org"}}, longHeader);
    EXPECT_EQ(TestHome::ReadFile(home.File(kept)).substr(24), longHeader);

    // An account without an external address keeps the sender it came with.
    const std::string plain = Queue("noext@mail.local", {{"ann", "example.org"}}, kMessage);
    EXPECT_EQ(TestHome::ReadFile(home.File(plain)), std::string(1, '\x10') + "noext@mail.local" + kMessage);
}

TEST_F(OutboundQueueTest, ReaderRefusesIncompleteDamagedAndEmptyFiles) {
    {
        // While the writer lives, a delivery pass cannot open its file.
        auto writer = std::make_unique<COutboundQueue>("Outbox", Connection());
        ASSERT_TRUE(writer->CreateMailFile());
        ASSERT_TRUE(writer->SetSender("a@b"));
        ASSERT_TRUE(writer->AddRecipient("ann", "example.org"));
        COutboundQueueReader early("Outbox");
        EXPECT_FALSE(early.OpenMailFile(writer->FilePath()));
        // Only a sender record: nothing to deliver.
        auto empty = Content("");
        ASSERT_TRUE(writer->WriteBody(*empty));
        const std::string path = writer->FilePath();
        writer.reset();
        COutboundQueueReader reader("Outbox");
        ASSERT_TRUE(reader.OpenMailFile(path));
        EXPECT_EQ(reader.ReadSender(), "a@b");
        EXPECT_EQ(reader.ExtractBody(), nullptr);
    }
    // A sender record longer than the file.
    TestHome::WriteFile(home.File("Outbox/TesFFFF.tmp"), std::string("\x20short", 6));
    COutboundQueueReader damaged("Outbox");
    ASSERT_TRUE(damaged.OpenMailFile("Outbox\\TesFFFF.tmp"));
    EXPECT_EQ(damaged.ReadSender(), "");
    EXPECT_EQ(damaged.ExtractBody(), nullptr);

    COutboundQueueReader missing("Outbox");
    EXPECT_FALSE(missing.OpenMailFile("Outbox/nothing.tmp"));
    EXPECT_EQ(missing.ExtractBody(), nullptr);

    // ExtractBody without ReadSender still starts after the sender record.
    const std::string path = Queue("someone@x.example", {{"ann", "example.org"}}, kMessage);
    COutboundQueueReader direct("Outbox");
    ASSERT_TRUE(direct.OpenMailFile(path));
    auto body = direct.ExtractBody();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(ReadAll(*body), kMessage);
}

// A missing Outbox and refused rows are proven through routing (RoutingTest).
TEST_F(OutboundQueueTest, DiscardTakesBackAPartialQueueing) {
    // A message shorter than it claims is not queued as if whole.
    COutboundQueue queue("Outbox", Connection());
    ASSERT_TRUE(queue.CreateMailFile());
    ASSERT_TRUE(queue.SetSender("a@b"));
    ASSERT_TRUE(queue.AddRecipient("ann", "example.org"));
    ASSERT_TRUE(queue.AddRecipient("bob", "example.org"));
    ScriptedContent shortContent(std::string(10, 's'));
    shortContent.lengthDelta = 99990;
    EXPECT_FALSE(queue.WriteBody(shortContent));
    const std::string path = queue.FilePath();
    queue.Discard();
    EXPECT_TRUE(Rows("SELECT * FROM OutBoundMails").empty());
    EXPECT_FALSE(std::filesystem::exists(home.File(path)));
}

TEST_F(OutboundQueueTest, ConsoleListsPreviewsAndDeletesEntries) {
    const std::string first = Queue("a@b", {{"ann", "example.org"}, {"o'neil", "example.org"}}, kMessage);
    const std::string second = Queue("a@b", {{"bob", "other.example"}}, "X-Only: header\r\n\r\nno fields");
    // A reply kept for the recipient, apostrophe and all, and one of a row gone.
    ASSERT_TRUE(COutboundReplies::Record(Connection(), {first, "o'neil", "example.org"}, "451 4.2.1 Can't now"));
    ASSERT_TRUE(COutboundReplies::Record(Connection(), {second, "gone", "other.example"}, "550 x"));

    std::vector<OutboundQueueEntry> entries;
    ASSERT_TRUE(COutboundQueueView::ListQueue(Connection(), entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_FALSE(entries[0].sent);
    EXPECT_EQ(entries[0].failureCode, 0);
    for (const OutboundQueueEntry& entry : entries)
        EXPECT_EQ(entry.reply, entry.destUser == "o'neil" ? "451 4.2.1 Can't now" : "") << entry.destUser;
    COutboundReplies::ForgetOrphans(Connection());
    EXPECT_EQ(COutboundReplies::All(Connection()).size(), 1u);

    OutboundQueuePreview preview;
    ASSERT_TRUE(COutboundQueueView::PreviewQueuedMail(first, preview));
    EXPECT_EQ(preview.recipient, "ann@example.org");
    EXPECT_EQ(preview.subject, "Figures");
    EXPECT_EQ(preview.date, "Sun, 06 Dec 2026 10:00:00 +0000");
    ASSERT_TRUE(COutboundQueueView::PreviewQueuedMail(second, preview));
    EXPECT_EQ(preview.recipient, "Unknown");
    EXPECT_EQ(preview.subject, "Unknown");

    auto find = [&](const std::string& user) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].destUser == user) return i;
        return entries.size();
    };
    // One of two rows: the file stays.
    ASSERT_TRUE(COutboundQueueView::DeleteQueueEntry(Connection(), entries, find("o'neil")));
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_TRUE(COutboundReplies::All(Connection()).empty());
    EXPECT_TRUE(std::filesystem::exists(home.File(first)));
    // The last row: the file goes.
    ASSERT_TRUE(COutboundQueueView::DeleteQueueEntry(Connection(), entries, find("ann")));
    EXPECT_FALSE(std::filesystem::exists(home.File(first)));
    EXPECT_TRUE(std::filesystem::exists(home.File(second)));
    auto rows = Rows("SELECT DestUser FROM OutBoundMails");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "bob");
    EXPECT_FALSE(COutboundQueueView::DeleteQueueEntry(Connection(), entries, 5));
}

}  // namespace
