// The IMAP module's message reading: FETCH sections as parsed and named, the
// BODYSTRUCTURE and ENVELOPE texts of stored messages, section byte ranges,
// the nesting limit and the streamed substring search.
#include "CFetchSection.h"
#include "CImapMessage.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "platform/UniqueFd.h"

namespace {

std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// A stored message as the store keeps it: a file read by descriptor.
struct StoredMessage {
    explicit StoredMessage(const std::string& text) : fd(::memfd_create("message", 0)), size(text.size()) {
        EXPECT_TRUE(fd);
        EXPECT_EQ(::write(fd.Get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    CImapMessage Analysed() const {
        auto message = CImapMessage::Analyse(fd.Get(), size);
        EXPECT_TRUE(message);
        return std::move(*message);
    }
    // The bytes a section sends, or nullopt when the part does not exist.
    std::optional<std::string> Section(const CImapMessage& message, std::string_view brackets,
                                       std::string_view partial = "") const {
        const auto section = CFetchSection::Parse(brackets, partial);
        EXPECT_TRUE(section) << brackets;
        const auto pieces = message.Section(*section);
        if (!pieces) return std::nullopt;
        std::string text;
        for (const auto& piece : *pieces) {
            if (piece.generated) {
                text += piece.text;
                continue;
            }
            std::string bytes(piece.length, '\0');
            EXPECT_EQ(::pread(fd.Get(), bytes.data(), bytes.size(), static_cast<off_t>(piece.offset)),
                      static_cast<ssize_t>(bytes.size()));
            text += bytes;
        }
        return text;
    }
    UniqueFd fd;
    std::uint32_t size;
};

const std::string kInner =
    "From: a@b.c\nSubject: inner\nContent-Type: multipart/alternative; boundary=YY\n\n"
    "--YY\nContent-Type: text/plain\n\ninner text\n--YY\n"
    "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n<p>x</p>\n--YY--\n";
const std::string kNested = Crlf(
    "From: Top <top@example.com>\nSubject: outer\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\n\npreamble\n"
    "--XX\nContent-Type: text/plain; charset=US-ASCII\n\nHello\nworld\n"
    "--XX\nContent-Type: message/rfc822\n\n" +
    kInner +
    "--XX\nContent-Type: application/octet-stream; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\n\nAAAA\n--XX--\nepilogue\n");

TEST(FetchSection, ParsesAndNamesSections) {
    auto s = CFetchSection::Parse("", "");
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->part.empty());
    EXPECT_EQ(s->ResponseName(), "BODY[]");
    s = CFetchSection::Parse("1.2.3", "");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->part, (std::vector<unsigned>{1, 2, 3}));
    EXPECT_EQ(s->ResponseName(), "BODY[1.2.3]");
    s = CFetchSection::Parse("2.header.fields.not (From \"x-odd(1)\" to)", "0.100");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->text, CFetchSection::Text::HeaderFieldsNot);
    EXPECT_EQ(s->fields, (std::vector<std::string>{"FROM", "X-ODD(1)", "TO"}));
    EXPECT_TRUE(s->partial);
    EXPECT_EQ(s->length, 100u);
    EXPECT_EQ(s->ResponseName(), "BODY[2.HEADER.FIELDS.NOT (FROM \"X-ODD(1)\" TO)]<0>");
    EXPECT_EQ(CFetchSection::Parse("3.MIME", "")->ResponseName(), "BODY[3.MIME]");
    EXPECT_EQ(CFetchSection::Parse("TEXT", "")->text, CFetchSection::Text::Text);
    EXPECT_EQ(CFetchSection::Parse("HEADER", "")->text, CFetchSection::Text::Header);

    std::string deep = "1";
    for (int i = 1; i < 32; ++i) deep += ".1";
    EXPECT_TRUE(CFetchSection::Parse(deep, ""));
    std::string manyFields = "HEADER.FIELDS (A";
    for (int i = 1; i < 64; ++i) manyFields += " A";
    EXPECT_TRUE(CFetchSection::Parse(manyFields + ")", ""));
    for (const char* bad : {"0", "1.", ".1", "1..2", "MIME", "HEADERX", "TEXT ", "HEADER.FIELDS", "HEADER.FIELDS ()",
                            "HEADER.FIELDS (A", "HEADER.FIELDS (A) ", "HEADER.FIELDS  (A)", "HEADER.FIELDS (A:B)",
                            "HEADER.FIELDS (\"\")", "HEADER.FIELDS ({3}\r\nabc)", "1.TEXT.1", "4294967296", "1.mim"})
        EXPECT_FALSE(CFetchSection::Parse(bad, "")) << bad;
    EXPECT_FALSE(CFetchSection::Parse(deep + ".1", ""));
    EXPECT_FALSE(CFetchSection::Parse(manyFields + " A)", ""));
    for (const char* bad : {"1", "1.0", ".5", "1.", "a.1", "1.2.3", "-1.2", "1.99999999999"})
        EXPECT_FALSE(CFetchSection::Parse("", bad)) << bad;
}

TEST(ImapMessage, NestedMultipartStructureAndSections) {
    const StoredMessage stored(kNested);
    const CImapMessage message = stored.Analysed();
    const std::string innerEnvelope =
        "(NIL \"inner\" ((NIL NIL \"a\" \"b.c\")) ((NIL NIL \"a\" \"b.c\")) ((NIL NIL \"a\" \"b.c\")) NIL NIL NIL NIL "
        "NIL)";
    EXPECT_EQ(message.BodyStructure(false),
              "((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 12 2)"
              "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 236 " +
                  innerEnvelope +
                  " ((\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" 10 1)"
                  "(\"TEXT\" \"HTML\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 8 1) \"ALTERNATIVE\") 14)"
                  "(\"APPLICATION\" \"OCTET-STREAM\" (\"NAME\" \"a.bin\") NIL NIL \"BASE64\" 4) \"MIXED\")");
    const std::string extended = message.BodyStructure(true);
    EXPECT_NE(extended.find("\"BASE64\" 4 NIL (\"ATTACHMENT\" (\"FILENAME\" \"a.bin\")) NIL NIL)"), std::string::npos);
    EXPECT_TRUE(extended.ends_with(" \"MIXED\" (\"BOUNDARY\" \"XX\") NIL NIL NIL)")) << extended;
    EXPECT_EQ(message.HeaderSize(), 112u);

    EXPECT_EQ(stored.Section(message, ""), kNested);
    EXPECT_EQ(stored.Section(message, "1"), "Hello\r\nworld");
    EXPECT_EQ(stored.Section(message, "1.MIME"), "Content-Type: text/plain; charset=US-ASCII\r\n\r\n");
    EXPECT_EQ(stored.Section(message, "2"), Crlf(kInner).substr(0, 236));
    EXPECT_EQ(stored.Section(message, "2.HEADER"),
              Crlf("From: a@b.c\nSubject: inner\nContent-Type: multipart/alternative; boundary=YY\n\n"));
    EXPECT_EQ(stored.Section(message, "2.HEADER.FIELDS (SUBJECT)"), "Subject: inner\r\n\r\n");
    EXPECT_EQ(stored.Section(message, "2.1"), "inner text");
    EXPECT_EQ(stored.Section(message, "2.2"), "<p>x</p>");
    EXPECT_EQ(stored.Section(message, "2.TEXT")->substr(0, 6), "--YY\r\n");
    EXPECT_EQ(stored.Section(message, "3"), "AAAA");
    EXPECT_EQ(stored.Section(message, "HEADER.FIELDS (subject \"FROM\")"),
              "From: Top <top@example.com>\r\nSubject: outer\r\n\r\n");
    EXPECT_EQ(stored.Section(message, "HEADER.FIELDS.NOT (FROM SUBJECT CONTENT-TYPE)"), "MIME-Version: 1.0\r\n\r\n");
    EXPECT_EQ(stored.Section(message, "TEXT")->substr(0, 10), "preamble\r\n");
    // Partial ranges, over file bytes and over generated text.
    EXPECT_EQ(stored.Section(message, "1", "2.3"), "llo");
    EXPECT_EQ(stored.Section(message, "1", "10.100"), "ld");
    EXPECT_EQ(stored.Section(message, "1", "12.1"), "");
    EXPECT_EQ(stored.Section(message, "HEADER.FIELDS (SUBJECT)", "9.5"), "outer");
    // Parts that do not exist, and HEADER/TEXT of parts that are not messages.
    for (const char* missing : {"4", "1.1", "3.HEADER", "1.TEXT", "2.3", "2.1.1", "0.1"}) {
        const auto section = CFetchSection::Parse(missing, "");
        if (section) EXPECT_FALSE(message.Section(*section)) << missing;
    }
    EXPECT_FALSE(CImapMessage::Analyse(stored.fd.Get(), stored.size + 1));  // shorter than its row says

    // The top header alone serves the envelope and the whole message's
    // sections alike, and reads no further (a file shorter than its row).
    EXPECT_TRUE(CImapMessage::AnalyseHeader(stored.fd.Get(), stored.size + 1));
    const auto header = CImapMessage::AnalyseHeader(stored.fd.Get(), stored.size);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->Envelope(), message.Envelope());
    EXPECT_EQ(header->HeaderSize(), message.HeaderSize());
    for (const char* whole : {"", "HEADER", "TEXT", "HEADER.FIELDS.NOT (FROM SUBJECT CONTENT-TYPE)"})
        EXPECT_EQ(stored.Section(*header, whole), stored.Section(message, whole)) << whole;
}

TEST(ImapMessage, SinglePartMessage) {
    const StoredMessage stored(
        Crlf("Subject: plain\nDate: Mon, 7 Feb 1994 21:52:25 -0800 (PST)\n\nline one\nline two\n"));
    const CImapMessage message = stored.Analysed();
    EXPECT_EQ(message.BodyStructure(true),
              "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 20 2 NIL NIL NIL NIL)");
    EXPECT_EQ(stored.Section(message, "1"), "line one\r\nline two\r\n");
    EXPECT_EQ(stored.Section(message, "1.MIME")->substr(0, 9), "Subject: ");
    EXPECT_FALSE(message.Section(*CFetchSection::Parse("2", "")));
    EXPECT_EQ(message.SentDate(), 760686745);
    EXPECT_EQ(message.HeaderField("subject"), "plain");
    EXPECT_EQ(message.HeaderField("To"), std::nullopt);
}

TEST(ImapMessage, EnvelopeAddressesGroupsAndQuoting) {
    const StoredMessage stored(
        Crlf("Date: Tue, 1 Dec 2026 10:00:00 +0100\n"
             "Subject: =?UTF-8?Q?caf=C3=A9?= \"quoted\" \\ back\n"
             "From: \"Doe, John\" <john@example.com>\n"
             "Reply-To: <@relay.example:reply@example.com>\n"
             "To: Friends: a@x.org, \"B \\\"Q\\\"\" <b@y.org>;, c@z.org (Cee\n Person)\n"
             "Cc: undisclosed-recipients:;\n"
             "Message-ID: <id1@example.com>\n"
             "In-Reply-To: <id0@example.com>\n\nbody\n"));
    const CImapMessage message = stored.Analysed();
    const std::string from = "((\"Doe, John\" NIL \"john\" \"example.com\"))";
    EXPECT_EQ(message.Envelope(),
              "(\"Tue, 1 Dec 2026 10:00:00 +0100\" {37}\r\n=?UTF-8?Q?caf=C3=A9?= \"quoted\" \\ back " + from + " " +
                  from +
                  " ((NIL \"@relay.example\" \"reply\" \"example.com\")) "
                  "((NIL NIL \"Friends\" NIL)(NIL NIL \"a\" \"x.org\")({5}\r\nB \"Q\" NIL \"b\" \"y.org\")"
                  "(NIL NIL NIL NIL)(\"Cee Person\" NIL \"c\" \"z.org\")) "
                  "((NIL NIL \"undisclosed-recipients\" NIL)(NIL NIL NIL NIL)) NIL "
                  "\"<id0@example.com>\" \"<id1@example.com>\")");
    EXPECT_EQ(message.HeaderFields("to").size(), 1u);
    EXPECT_EQ(message.HeaderField("To"), "Friends: a@x.org, \"B \\\"Q\\\"\" <b@y.org>;, c@z.org (Cee Person)");
}

TEST(ImapMessage, NestingBeyondTheLimitIsOpaque) {
    std::string text = "Subject: deep\n";
    const unsigned levels = CImapMessage::kMaxDepth + 8;
    for (unsigned i = 0; i < levels; ++i)
        text += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    text += "Content-Type: text/plain\n\ncore\n";
    for (unsigned i = levels; i-- > 0;) text += "--b" + std::to_string(i) + "--\n";
    const StoredMessage stored(Crlf(text));
    const CImapMessage message = stored.Analysed();
    const std::string structure = message.BodyStructure(true);
    int depth = 0, deepest = 0;
    for (char c : structure) {
        if (c == '(') deepest = std::max(deepest, ++depth);
        if (c == ')') --depth;
    }
    EXPECT_EQ(depth, 0);
    EXPECT_LE(deepest, static_cast<int>(CImapMessage::kMaxDepth) + 2);
    // The deepest part kept is text/plain whose body holds the rest, unparsed.
    std::string path = "1";
    for (unsigned i = 2; i < CImapMessage::kMaxDepth; ++i) path += ".1";
    const auto opaque = stored.Section(message, path);
    ASSERT_TRUE(opaque);
    EXPECT_NE(opaque->find("core"), std::string::npos);
    EXPECT_FALSE(stored.Section(message, path + ".1"));

    // Parts beyond the count limit are left out; those kept are served.
    std::string wide = "Content-Type: multipart/mixed; boundary=w\n\n";
    for (unsigned i = 0; i < CImapMessage::kMaxParts + 100; ++i) wide += "--w\n\npart\n";
    const StoredMessage flood(Crlf(wide + "--w--\n"));
    const CImapMessage flooded = flood.Analysed();
    const std::string last = std::to_string(CImapMessage::kMaxParts - 1);
    EXPECT_EQ(flood.Section(flooded, last), "part");
    EXPECT_FALSE(flood.Section(flooded, std::to_string(CImapMessage::kMaxParts)));
}

TEST(ImapMessage, ContainsAcrossBlockBoundaries) {
    std::string text = Crlf("Subject: Search Me\n\n");
    text.append(65536 - 3 - text.size(), 'x');
    text += "NeEdLe";
    text.append(70000, 'y');
    text += "\r\ntail";
    const StoredMessage stored(text);
    for (bool bodyOnly : {false, true}) {
        EXPECT_TRUE(CImapMessage::Contains(stored.fd.Get(), stored.size, "needle", bodyOnly));
        EXPECT_TRUE(CImapMessage::Contains(stored.fd.Get(), stored.size, "yyY\r\ntAIL", bodyOnly));
        EXPECT_FALSE(CImapMessage::Contains(stored.fd.Get(), stored.size, "needles", bodyOnly));
    }
    EXPECT_TRUE(CImapMessage::Contains(stored.fd.Get(), stored.size, "search me", false));
    EXPECT_FALSE(CImapMessage::Contains(stored.fd.Get(), stored.size, "search me", true));
    const auto message = stored.Analysed();
    EXPECT_EQ(message.BodyStructure(false), "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" " +
                                                std::to_string(text.size() - 22) + " 2)");
}

TEST(ImapMessage, ContainsMatchesDecodedTextParts) {
    const StoredMessage stored(
        Crlf("Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain; charset=utf-8\n"
             "Content-Transfer-Encoding: quoted-printable\n\ncaf=C3=A9 na=\nive\n--B\nContent-Type: text/plain\n"
             "Content-Transfer-Encoding: BASE64\n\naGVsbG8g\nd29ybGQ=\n--B\nContent-Type: application/octet-stream\n"
             "Content-Transfer-Encoding: base64\n\nc2VjcmV0\n--B--\n"));
    for (const char* found : {"caf\xc3\xa9", "NAIVE", "lo wor"})
        EXPECT_TRUE(CImapMessage::Contains(stored.fd.Get(), stored.size, found, true)) << found;
    EXPECT_FALSE(CImapMessage::Contains(stored.fd.Get(), stored.size, "secret", false));  // not a text part
}

}  // namespace
