// CMimeMessage: single-part, multipart (nested too) and plain messages in
// list and extraction modes; delimiters split across reads; generated
// names; uuencoded files; and malformed input that must stay bounded.
#include "message/CMimeMessage.h"

#include "HostileInputs.h"
#include "ScriptedContent.h"
#include "TestContent.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok = false;
    std::string body;
    std::vector<CMimeAttachment> attachments;
    CMimeMessage message;
};

// The message parsed in list mode, or with extract named, in extraction mode.
std::unique_ptr<Parsed> Parse(const std::string& text, const std::string& extract = "", std::uint32_t chunk = 65536) {
    auto parsed = std::make_unique<Parsed>();
    ScriptedContent content(text);
    content.chunk = chunk;
    parsed->ok = parsed->message.Parse(&content, extract);
    if (parsed->message.GetBody()) parsed->body = ReadAll(*parsed->message.GetBody());
    parsed->attachments = parsed->message.GetAttachments();
    return parsed;
}

std::vector<std::string> Names(const std::unique_ptr<Parsed>& parsed) {
    std::vector<std::string> names;
    for (const auto& attachment : parsed->attachments) names.push_back(attachment.name);
    return names;
}

// Standard uuencoding of data as the lines between "begin" and "end".
std::string Uuencode(const std::string& data) {
    auto character = [](unsigned value) { return value == 0 ? '`' : static_cast<char>(value + 32); };
    std::string lines;
    for (std::size_t at = 0; at < data.size(); at += 45) {
        const std::string part = data.substr(at, 45) + std::string(2, '\0');  // padded to whole groups
        lines += character(static_cast<unsigned>(part.size() - 2));
        for (std::size_t i = 0; i + 2 < part.size(); i += 3) {
            const unsigned group = static_cast<unsigned char>(part[i]) << 16 |
                                   static_cast<unsigned char>(part[i + 1]) << 8 |
                                   static_cast<unsigned char>(part[i + 2]);
            for (int shift = 18; shift >= 0; shift -= 6) lines += character((group >> shift) & 63);
        }
        lines += "\r\n";
    }
    return lines + "`\r\nend\r\n";
}

const std::string kMixed =
    "From: a@x\r\n"
    "Subject: report\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"XyZ\"; charset=us-ascii\r\n\r\n"
    "This is the preamble.\r\n"
    "--XyZ\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n"
    "Hello,\r\nsee the file.\r\n"
    "--XyZ\r\nContent-Type: Application/PDF;\r\n"
    "\tname=\"Report 1.pdf\"\r\n"
    "Content-Disposition: Attachment; filename=\"Report 1.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "JVBERi0xLjQK\r\n"
    "--XyZ\r\nContent-Type: application/octet-stream; name=\"winmail.dat\"\r\n\r\n"
    "eJ8+\r\n"
    "--XyZ\r\nContent-Type: message/rfc822\r\n\r\n"
    "From: b@y\r\nSubject: forwarded\r\n\r\nold text\r\n"
    "--XyZ--\r\n"
    "epilogue\r\n";

TEST(MimeSinglePart, TextBodyIsExactlyWhatFollowsTheBlankLine) {
    auto parsed = Parse("From: a@x\r\nContent-Type: Text/Plain\r\n\r\n\r\nline 1\r\n--x\r\n");
    ASSERT_TRUE(parsed->ok);
    EXPECT_EQ(parsed->body, "\r\nline 1\r\n--x\r\n");
    EXPECT_TRUE(parsed->attachments.empty());
    EXPECT_EQ(parsed->message.GetContentType(), "Text/Plain");
    EXPECT_EQ(parsed->message.GetHeader()->GetField("from"), "a@x");

    // A non-text body is one generated attachment.
    const std::string text = "Content-Type: QIRN/Query\r\nContent-Disposition: inline; x=1\r\n\r\nSELECT 1";
    auto listed = Parse(text);
    ASSERT_TRUE(listed->ok);
    EXPECT_EQ(listed->body, "");
    ASSERT_EQ(listed->attachments.size(), 1u);
    EXPECT_EQ(listed->attachments[0].name, "ATTFL0");
    EXPECT_EQ(listed->attachments[0].contentType, "qirn/query");
    EXPECT_EQ(listed->attachments[0].disposition, "inline");

    EXPECT_EQ(Parse(text, "anything")->body, "SELECT 1");
}

TEST(MimeMultipart, ListsAttachmentsAndExtractsThePartStillEncoded) {
    for (std::uint32_t chunk : {65536u, 1u, 7u}) {
        auto parsed = Parse(kMixed, "", chunk);
        ASSERT_TRUE(parsed->ok);
        EXPECT_EQ(parsed->body, "Hello,\r\nsee the file.") << "chunk " << chunk;
        // winmail.dat is not listed; the forwarded message gets a generated name.
        ASSERT_EQ(Names(parsed), (std::vector<std::string>{"Report 1.pdf", "ATTFL4.eml"}));
        const CMimeAttachment& pdf = parsed->attachments[0];
        EXPECT_EQ(pdf.contentType, "application/pdf;name=\"report 1.pdf\"");
        EXPECT_EQ(pdf.disposition, "attachment");
        EXPECT_EQ(pdf.contentId, "");
        EXPECT_EQ(parsed->attachments[1].contentType, "message/rfc822");
        // The header describes the body text that was written.
        const CMailHeader* header = parsed->message.GetHeader();
        EXPECT_EQ(header->GetField("Content-Type"), "text/plain; charset=utf-8");
        EXPECT_EQ(header->GetField("Content-Transfer-Encoding"), "8bit");
        EXPECT_EQ(header->GetField("Subject"), "report");
        EXPECT_EQ(parsed->message.GetContentType(), "multipart/mixed; boundary=\"XyZ\"; charset=us-ascii");
    }

    // Extraction gives the part header and its still encoded content.
    auto pdf = Parse(kMixed, "Report 1.pdf", 3);
    ASSERT_TRUE(pdf->ok);
    EXPECT_EQ(pdf->body, "JVBERi0xLjQK");
    EXPECT_EQ(pdf->message.GetHeader()->GetField("Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(pdf->message.GetHeader()->GetField("Subject"), "");
    EXPECT_TRUE(pdf->attachments.empty());

    EXPECT_EQ(Parse(kMixed, "ATTFL4.eml")->body, "From: b@y\r\nSubject: forwarded\r\n\r\nold text");

    // Names match exactly; an unknown name leaves an empty body and the message's header.
    auto wrongCase = Parse(kMixed, "report 1.pdf");
    ASSERT_TRUE(wrongCase->ok);
    EXPECT_EQ(wrongCase->body, "");
    EXPECT_EQ(wrongCase->message.GetHeader()->GetField("Subject"), "report");
}

TEST(MimeMultipart, NestedAlternativeUsesTheHtmlAndNumbersEveryPart) {
    const std::string text =
        "From: a@x\r\n"
        "Content-Type: multipart/mixed;\r\n boundary=outer\r\n\r\n"
        "--outer\r\nContent-Type: multipart/alternative; boundary=\"outer-alt\"\r\n\r\n"
        "--outer-alt\r\nContent-Type: text/plain\r\n\r\n"
        "plain text\r\n"
        "--outer-alt\r\nContent-Type: text/html\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
        "<p>html text</p>\r\n"
        "--outer-alt--\r\n\r\n"
        "--outer\r\nContent-Type: image/png\r\n"
        "Content-Id: <img1@x>\r\n\r\n"
        "iVBORw0\r\n"
        "--outer\r\nContent-Type: text/plain\r\n"
        "Content-Id: <note@x>\r\n\r\n"
        "not body text\r\n"
        "--outer--\r\n";
    auto parsed = Parse(text);
    ASSERT_TRUE(parsed->ok);
    EXPECT_EQ(parsed->body, "<p>html text</p>");
    EXPECT_EQ(parsed->message.GetHeader()->GetField("Content-Type"), "text/html");
    EXPECT_EQ(parsed->message.GetHeader()->GetField("Content-Transfer-Encoding"), "quoted-printable");
    // alternative = 1, plain = 2, html = 3, image = 4.
    ASSERT_EQ(Names(parsed), std::vector<std::string>{"ATTFL4"});
    EXPECT_EQ(parsed->attachments[0].contentId, "img1@x");

    EXPECT_EQ(Parse(text, "ATTFL4")->body, "iVBORw0");

    // A delimiter split across window refills is found.
    // Slide the delimiter over the edge of the 64 KiB read window.
    const std::string head =
        "Content-Type: multipart/mixed; boundary=edge\r\n\r\n--edge\r\n"
        "Content-Type: application/x-big; name=big.bin\r\n\r\n";
    for (std::size_t length = 65536 - head.size() - 20; length <= 65536 - head.size() + 4; ++length) {
        std::string content(length, 'a');
        content[length / 2] = '\r';  // near misses inside the content
        content += "\r\n--edg\r\n-edge";
        const std::string split = head + content + "\r\n--edge--\r\n";
        auto parsed = Parse(split, "big.bin");
        ASSERT_TRUE(parsed->ok);
        ASSERT_EQ(parsed->body, content) << "content length " << length;
    }
}

TEST(MimeMultipart, BoundaryPrefixesAndSharedPrefixesAreToldApart) {
    const std::string text =
        "Content-Type: multipart/mixed; boundary=ab\r\n\r\n"
        "--ab\r\nContent-Type: multipart/mixed; boundary=\"ab-cd\"\r\n\r\n"
        "--ab-cd\r\nContent-Type: application/x-one; name=one\r\n\r\n"
        "1\r\n--abc not a delimiter\r\n--ab-cdx neither\r\n"
        "--ab-cd--\r\n--ab\r\n"
        "Content-Type: application/x-two; name=two\r\n\r\n"
        "2\r\n"
        "--ab--";
    auto parsed = Parse(text);
    ASSERT_TRUE(parsed->ok);
    EXPECT_EQ(Names(parsed), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(Parse(text, "one")->body, "1\r\n--abc not a delimiter\r\n--ab-cdx neither");
    EXPECT_EQ(Parse(text, "two")->body, "2");

    // An unclosed nested multipart ends at its parent's delimiter.
    const std::string unclosed =
        "Content-Type: multipart/mixed; boundary=P\r\n\r\n"
        "--P\r\nContent-Type: multipart/related; boundary=C\r\n\r\n"
        "--C\r\nContent-Type: application/x-in; name=inner\r\n\r\n"
        "inner data\r\n"
        "--P\r\nContent-Type: application/x-out; name=outer\r\n\r\n"
        "outer data\r\n"
        "--P--\r\n";
    EXPECT_EQ(Names(Parse(unclosed)), (std::vector<std::string>{"inner", "outer"}));
    EXPECT_EQ(Parse(unclosed, "inner")->body, "inner data");
}

TEST(MimeMultipart, BoundaryAndNameQuoting) {
    const std::string text =
        "Content-Type: multipart/mixed; boundary=\"q;b\"; foo=bar\r\n\r\n"
        "--q;b\r\nContent-Type: application/x-a; name=plain.txt; size=3\r\n\r\nA\r\n"
        "--q;b\r\nContent-Type: application/x-b; name=\"semi;colon.txt\"\r\n\r\nB\r\n"
        "--q;b\r\nContent-Type: application/x-c; name=\"unbalanced.txt\r\n\r\nC\r\n"
        "--q;b\r\n"
        "Content-Type: application/x-d\r\nContent-Disposition: attachment; filename=Disp.TXT\r\n\r\nD\r\n"
        "--q;b\r\nContent-Type: application/x-e; name=\"\"\r\n\r\nE\r\n"
        "--q;b--\r\n";
    auto parsed = Parse(text);
    ASSERT_TRUE(parsed->ok);
    EXPECT_EQ(Names(parsed),
              (std::vector<std::string>{"plain.txt", "semi;colon.txt", "unbalanced.txt", "Disp.TXT", "ATTFL5"}));
    EXPECT_EQ(Parse(text, "ATTFL5")->body, "E");

    // Hostile inputs of the fuzz target.
    const std::map<std::string, std::pair<std::string, std::vector<std::string>>> expected = {
        {"hostile_deep_nesting", {"", {}}},  // beyond the depth limit: passed over
        {"hostile_empty_parts", {"last", {"ATTFL1", "a", "c"}}},
        {"hostile_no_blank_line", {"", {}}},
        {"hostile_no_boundary", {"", {}}},
        {"hostile_no_delimiter", {"", {}}},
        {"hostile_nul_bytes", {std::string("bo\0dy", 5), {}}},
        {"hostile_part_flood", {"", {}}}};
    const auto inputs = HostileInputs("fuzz_mime");
    ASSERT_EQ(inputs.size(), expected.size());
    for (const auto& [name, bytes] : inputs) {
        auto hostile = Parse(bytes.substr(1), "", bytes[0] ? static_cast<unsigned char>(bytes[0]) : 65536);
        EXPECT_TRUE(hostile->ok) << name;
        EXPECT_EQ(hostile->body, expected.at(name).first) << name;
        if (name == "hostile_part_flood") {
            EXPECT_EQ(hostile->attachments.size(), 10000u);
        } else {
            EXPECT_EQ(Names(hostile), expected.at(name).second) << name;
        }
    }
}

TEST(MimeMessage, HugeHeaderLineIsBoundedAndAnEmptyStreamFails) {
    auto parsed = Parse("From: a@x\r\nContent-Type: text/plain\r\nX-Long: " + std::string(10 * 1024 * 1024, 'x') +
                        "\r\nSubject: after\r\n\r\nbody");
    ASSERT_TRUE(parsed->ok);
    EXPECT_EQ(parsed->body, "body");
    EXPECT_EQ(parsed->message.GetHeader()->GetField("Subject"), "after");
    EXPECT_LT(parsed->message.GetHeader()->GetField("X-Long").size(), 100u * 1024);

    CMimeMessage message;
    EXPECT_FALSE(message.Parse(nullptr, ""));
    ScriptedContent empty("");
    EXPECT_FALSE(message.Parse(&empty, ""));
    EXPECT_EQ(message.GetHeader(), nullptr);
    EXPECT_EQ(message.GetBody(), nullptr);
}

TEST(MimePlain, MimeVersionAndFromDecideWhatTheBodyIs) {
    EXPECT_EQ(Parse("From: a@x\r\nMime-Version: 1.0\r\n\r\nbody\r\n")->body, "body\r\n");
    const std::string noFrom = "MIME-Version: 1.0\r\nSubject: s\r\n\r\nbody\r\n";
    EXPECT_EQ(Parse(noFrom, "", 5)->body, noFrom);
    const std::string headerless = "Just some text\r\nwithout a header\r\n\r\nat all";
    auto neither = Parse(headerless);
    EXPECT_EQ(neither->body, headerless);
    EXPECT_TRUE(neither->ok);

    // Uuencoded files are listed and decoded on extraction.
    std::string binary;
    for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 31);
    const std::string files =
        "From: a@x\r\nSubject: files\r\n\r\n"
        "Here are the files.\r\nbegin without digits\r\n"
        "begin 644 Data File.bin\r\n" +
        Uuencode(binary) +
        "files between\r\n"
        "begin 0600 WinMail.Dat\r\n" +
        Uuencode("tnef") + "begin 644 note.txt\r\n" + Uuencode("hello world\n");
    for (std::uint32_t chunk : {65536u, 3u}) {
        auto listed = Parse(files, "", chunk);
        ASSERT_TRUE(listed->ok);
        EXPECT_EQ(listed->body, "Here are the files.\r\nbegin without digits\r\n");
        ASSERT_EQ(Names(listed), (std::vector<std::string>{"Data File.bin", "note.txt"}));
        EXPECT_EQ(listed->attachments[0].disposition, "attachment");
        EXPECT_EQ(listed->attachments[0].contentType, "");
    }
    EXPECT_EQ(Parse(files, "data file.BIN")->body, binary);  // uuencoded names match without regard to case
    EXPECT_EQ(Parse(files, "note.txt")->body, "hello world\n");

    // An unterminated block runs to the end.
    const std::string unterminated = "From: a@x\r\n\r\nbegin 644 cut.bin\r\n" + Uuencode("abcdef").substr(0, 10);
    EXPECT_EQ(Names(Parse(unterminated)), std::vector<std::string>{"cut.bin"});
    auto cut = Parse(unterminated, "cut.bin");
    EXPECT_TRUE(cut->ok);
    EXPECT_EQ(cut->body, "abcdef");

    // A length character that claims more than the line carries gives only
    // what the characters hold.
    EXPECT_EQ(Parse("From: a@x\r\n\r\nbegin 644 claim.bin\r\nM86)C\r\nend\r\n", "claim.bin")->body, "abc");
}

}  // namespace
