// CMimeMessage: the streaming MIME walk.
//
// The walk reads the message once, front to back, through one window of
// kWindow bytes. Delimiters ("\r\n--" + boundary) are searched across window
// refills, and a part ends at the first delimiter of its own multipart or of
// any enclosing one, so a nested multipart that never closes cannot swallow
// the rest of its parent. List and extraction passes walk the parts in the
// same order and apply the same limits, so generated "ATTFL" names agree
// between them.
#include "message/CMimeMessage.h"

#include "foundation/CMailContent.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// Window over the stream. Bigger than any delimiter we accept, and a header
// line longer than this is cut to it (RFC 5322 allows 998 characters).
constexpr std::size_t kWindow = 64 * 1024;
// RFC 2046 boundaries have at most 70 characters; a longer one (up to the
// line limit) is still honoured, beyond that the multipart is not walked.
constexpr std::size_t kMaxBoundary = 998;
// Real mail nests three or four multiparts; deeper ones are skipped whole so
// the walk's recursion and the part headers it holds stay bounded.
constexpr std::size_t kMaxDepth = 16;
// A message with more parts than this is a bomb, not mail: the walk stops
// there (in both modes alike) so the attachment list stays bounded.
constexpr int kMaxParts = 10000;

bool Contains(std::string_view text, std::string_view what) {
    return text.find(what) != std::string_view::npos;
}

// The boundary parameter of a header's Content-Type, case kept.
std::string FindBoundary(const CMailHeader& header) {
    const std::string parameters = header.GetFieldParameters("Content-Type");
    const std::size_t at = FoldCase(parameters).find("boundary=");
    if (at == std::string::npos) return {};
    std::string_view boundary = Trim(std::string_view(parameters).substr(at + 9));
    if (!boundary.empty() && boundary.front() == '"') {
        // Quoted: everything up to the closing quote (or the end when unbalanced).
        boundary.remove_prefix(1);
        return std::string(boundary.substr(0, boundary.find('"')));
    }
    return std::string(Trim(boundary.substr(0, boundary.find(';'))));
}

// The file name at start (just after "name=") of a parameter text.
std::string ReadName(std::string_view source, std::size_t start) {
    std::string_view name = source.substr(start);
    if (!name.empty() && name.front() == '"') {
        name.remove_prefix(1);
        name = name.substr(0, name.find('"'));
    } else {
        name = name.substr(0, name.find(';'));
    }
    return std::string(Trim(name));
}

// "begin" + blank + three or four octal digits + blank + name: a uuencode
// start line; name receives the file name.
bool IsUuencodeStart(std::string_view line, std::string& name) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 6) != "begin ") return false;
    std::size_t i = 6;
    int digits = 0;
    while (i < line.size() && digits < 4 && line[i] >= '0' && line[i] <= '7') {
        ++i;
        ++digits;
    }
    if (digits < 3 || i >= line.size() || (line[i] != ' ' && line[i] != '\t')) return false;
    name = std::string(Trim(line.substr(i + 1)));
    return !name.empty();
}

// One uuencoded line: a length character, then groups of four characters
// each giving three bytes. A last group cut short counts its missing
// characters as zero bits (some transports strip trailing blanks), but no
// group is made up from nothing: a line never decodes to more than its
// characters can carry, whatever its length character claims.
std::size_t DecodeUuencodeLine(std::string_view line, unsigned char out[64]) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) return 0;
    auto sixBits = [&line](std::size_t k) -> unsigned {
        return k < line.size() ? (static_cast<unsigned char>(line[k]) - 0x20u) & 0x3Fu : 0u;
    };
    const std::size_t count = sixBits(0);
    std::size_t produced = 0;
    for (std::size_t i = 1; produced < count && i < line.size(); i += 4) {
        const unsigned a = sixBits(i), b = sixBits(i + 1), c = sixBits(i + 2), d = sixBits(i + 3);
        const unsigned char bytes[3] = {
            static_cast<unsigned char>((a << 2) | (b >> 4)),
            static_cast<unsigned char>(((b & 0x0F) << 4) | (c >> 2)),
            static_cast<unsigned char>(((c & 0x03) << 6) | d),
        };
        for (unsigned char byte : bytes)
            if (produced < count) out[produced++] = byte;
    }
    return produced;
}

}  // namespace

class CMimeMessage::Walker {
public:
    Walker(CMimeMessage& message, CMailContent& stream, const std::string& extractName)
        : message(message),
          stream(stream),
          extractName(extractName),
          extracting(!extractName.empty()),
          buffer(kWindow) {}

    bool Run();

private:
    enum class HeaderEnd { Blank, Delimiter, End };
    struct HeaderResult {
        HeaderEnd end;
        std::size_t blankLength;  // bytes of the blank line (left unread)
        int level;                // the delimiter met instead of a header line
    };

    // Window.
    std::size_t Available() const { return end - pos; }
    const char* Data() const { return buffer.data() + pos; }
    std::size_t Ensure(std::size_t want);
    void Consume(std::size_t count);
    bool PeekLine(std::size_t& length, bool& complete);
    void SkipRestOfLine();
    void Emit(CMailContent* out, const char* data, std::size_t length, std::size_t& skip);
    void CopyRest(CMailContent* out, std::size_t skip);
    void ResetBody();

    // Structure.
    HeaderResult ReadHeader(CMailHeader& header, std::size_t levels);
    int MatchDelimiter(const char* data, std::size_t length, std::size_t levels, std::size_t prefixSkip,
                       bool streamEnds) const;
    int ScanToDelimiter(CMailContent* out, std::size_t levels, std::size_t skip);
    bool ConsumeDelimiterLine();
    int WalkMultipart(std::size_t level);
    int ParsePart(std::size_t level);
    void ParseSinglePart(std::size_t blankLength);
    void ParsePlain(std::size_t blankLength);
    void ScanUuencoded();
    void ReadUuencodedBlock(CMailContent* out);

    CMimeMessage& message;
    CMailContent& stream;
    const std::string& extractName;
    const bool extracting;

    std::vector<char> buffer;
    std::size_t pos = 0;
    std::size_t end = 0;
    bool streamEnded = false;
    bool readError = false;
    bool writeError = false;
    CMailContent* tee = nullptr;  // receives every consumed byte while set

    std::vector<std::string> delimiters;  // "\r\n--" + boundary, outermost first
    bool finished = false;                // the wanted part is out, or the part limit was hit
};

// ---- window ---------------------------------------------------------------

// Makes at least want bytes available unless the stream ends first; when it
// has to read, it fills the whole window so scans advance in large steps.
std::size_t CMimeMessage::Walker::Ensure(std::size_t want) {
    want = std::min(want, kWindow);
    if (Available() >= want || streamEnded) return Available();
    if (pos > 0) {
        std::memmove(buffer.data(), buffer.data() + pos, Available());
        end -= pos;
        pos = 0;
    }
    while (!streamEnded && end < kWindow) {
        const int got = stream.Read(buffer.data() + end, static_cast<std::uint32_t>(kWindow - end));
        if (got <= 0) {
            readError = readError || got < 0;
            streamEnded = true;
            break;
        }
        end += static_cast<std::size_t>(got);
    }
    return Available();
}

void CMimeMessage::Walker::Consume(std::size_t count) {
    if (tee && count > 0 && !tee->Write(Data(), static_cast<std::uint32_t>(count))) writeError = true;
    pos += count;
}

// The line at the window's front: up to and including its LF (complete), or
// as much of it as the window holds (a line longer than the window, or the
// last line of the stream without an LF). False at the end of the stream.
bool CMimeMessage::Walker::PeekLine(std::size_t& length, bool& complete) {
    const void* lf = std::memchr(Data(), '\n', Available());
    if (!lf && Available() < kWindow && !streamEnded) {
        const std::size_t searched = Available();
        Ensure(kWindow);
        lf = std::memchr(Data() + searched, '\n', Available() - searched);
    }
    if (Available() == 0) return false;
    complete = lf != nullptr;
    length = complete ? static_cast<std::size_t>(static_cast<const char*>(lf) - Data()) + 1 : Available();
    return true;
}

void CMimeMessage::Walker::SkipRestOfLine() {
    std::size_t length = 0;
    bool complete = false;
    while (PeekLine(length, complete)) {
        Consume(length);
        if (complete) return;
    }
}

// Writes to out (when given) after dropping the first skip bytes.
void CMimeMessage::Walker::Emit(CMailContent* out, const char* data, std::size_t length, std::size_t& skip) {
    const std::size_t dropped = std::min(skip, length);
    skip -= dropped;
    data += dropped;
    length -= dropped;
    if (out && length > 0 && !out->Write(data, static_cast<std::uint32_t>(length))) writeError = true;
}

void CMimeMessage::Walker::CopyRest(CMailContent* out, std::size_t skip) {
    while (Ensure(kWindow) > 0) {
        const std::size_t length = Available();
        Emit(out, Data(), length, skip);
        Consume(length);
    }
}

void CMimeMessage::Walker::ResetBody() {
    if (!message.body->SetLength(0)) writeError = true;
    message.body->Rewind();
}

// ---- structure -------------------------------------------------------------

// Feeds header lines to header until the blank line, which is left unread:
// its line end doubles as the CR LF of a delimiter that follows at once.
// A malformed line ends the fields (as in CMailHeader::Parse) but lines are
// still passed over up to the blank line. With levels > 0 (a part header) a
// delimiter line of any of those levels ends the header too: the part is
// empty.
CMimeMessage::Walker::HeaderResult CMimeMessage::Walker::ReadHeader(CMailHeader& header, std::size_t levels) {
    bool feeding = true;
    std::string cut;
    std::size_t length = 0;
    bool complete = false;
    while (PeekLine(length, complete)) {
        const char* line = Data();
        if (complete && (length == 1 || (length == 2 && line[0] == '\r'))) return {HeaderEnd::Blank, length, -1};
        if (levels > 0 && length >= 2 && line[0] == '-' && line[1] == '-') {
            const int level = MatchDelimiter(line, length, levels, 2, !complete && streamEnded);
            if (level >= 0) {
                Consume(delimiters[static_cast<std::size_t>(level)].size() - 2);
                return {HeaderEnd::Delimiter, 0, level};
            }
        }
        if (feeding) {
            int result;
            if (complete) {
                result = header.Parse(line, length, false);
            } else {
                // Over-long or unterminated: its first window's worth stands for it.
                cut.assign(line, length);
                cut += '\n';
                result = header.Parse(cut.data(), cut.size(), false);
            }
            feeding = result >= 0;
        }
        Consume(length);
        if (!complete) SkipRestOfLine();
    }
    return {HeaderEnd::End, 0, -1};
}

// Which delimiter (innermost first) starts at data: the boundary must be
// followed by "--", white space or a line end (RFC 2046), so boundaries that
// share a prefix are told apart. prefixSkip leaves out the leading CR LF
// when data is a line start. -1: none; -2: more bytes are needed to decide.
int CMimeMessage::Walker::MatchDelimiter(const char* data, std::size_t length, std::size_t levels,
                                         std::size_t prefixSkip, bool streamEnds) const {
    bool undecided = false;
    for (std::size_t i = levels; i-- > 0;) {
        const std::string_view delimiter = std::string_view(delimiters[i]).substr(prefixSkip);
        const std::size_t size = delimiter.size();
        if (length < size) {
            if (!streamEnds && std::memcmp(data, delimiter.data(), length) == 0) undecided = true;
            continue;
        }
        if (std::memcmp(data, delimiter.data(), size) != 0) continue;
        bool match = false;
        if (length == size) {
            match = streamEnds;
            undecided = undecided || !streamEnds;
        } else {
            const char next = data[size];
            if (next == ' ' || next == '\t' || next == '\r' || next == '\n') {
                match = true;
            } else if (next == '-') {
                if (length == size + 1) {
                    match = streamEnds;
                    undecided = undecided || !streamEnds;
                } else {
                    match = data[size + 1] == '-';
                }
            }
        }
        if (match) return undecided ? -2 : static_cast<int>(i);
    }
    return undecided ? -2 : -1;
}

// Copies bytes (less the first skip) to out up to the first delimiter of the
// innermost levels multiparts and reads past that delimiter. Returns its
// level, or -1 when the stream ends first.
int CMimeMessage::Walker::ScanToDelimiter(CMailContent* out, std::size_t levels, std::size_t skip) {
    static constexpr std::string_view kLead = "\r\n--";
    if (levels == 0) {
        CopyRest(out, skip);
        return -1;
    }
    for (;;) {
        const std::size_t available = Ensure(kWindow);
        if (available == 0) return -1;
        const std::string_view window(Data(), available);
        std::size_t from = 0;
        for (;;) {
            const std::size_t hit = window.find(kLead, from);
            if (hit == std::string_view::npos) {
                // Keep a possible "\r\n-" at the end for the next window.
                const std::size_t safe = streamEnded ? available : available - std::min<std::size_t>(available, 3);
                Emit(out, Data(), safe, skip);
                Consume(safe);
                break;
            }
            const int level = MatchDelimiter(Data() + hit, available - hit, levels, 0, streamEnded);
            if (level >= 0) {
                Emit(out, Data(), hit, skip);
                Consume(hit + delimiters[static_cast<std::size_t>(level)].size());
                return level;
            }
            if (level == -2) {
                // Decide once the window has been refilled behind it.
                Emit(out, Data(), hit, skip);
                Consume(hit);
                break;
            }
            from = hit + 1;
        }
    }
}

// After "--boundary": true for a close delimiter ("--" follows). Reads the
// rest of the line (transport padding). The line end of a close delimiter
// is left unread: it is also the CR LF of a parent's delimiter that may
// follow on the next line.
bool CMimeMessage::Walker::ConsumeDelimiterLine() {
    Ensure(2);
    const bool close = Available() >= 2 && Data()[0] == '-' && Data()[1] == '-';
    if (!close) {
        SkipRestOfLine();
        return false;
    }
    std::size_t length = 0;
    bool complete = false;
    while (PeekLine(length, complete)) {
        if (complete) {
            const bool crlf = length >= 2 && Data()[length - 2] == '\r';
            Consume(length - (crlf ? 2 : 1));
            break;
        }
        Consume(length);
    }
    return true;
}

// The multipart whose delimiter is delimiters[level], from just before its
// first delimiter. Returns the level of an enclosing delimiter that ended
// it, or -1 when the stream ended or nothing more is to be read.
int CMimeMessage::Walker::WalkMultipart(std::size_t level) {
    int matched = ScanToDelimiter(nullptr, level + 1, 0);  // preamble
    for (;;) {
        if (matched < 0 || static_cast<std::size_t>(matched) < level) return matched;
        if (ConsumeDelimiterLine()) {
            if (level == 0) return -1;
            return ScanToDelimiter(nullptr, level, 0);  // epilogue: only a parent's delimiter ends it
        }
        if (finished) return -1;
        matched = ParsePart(level);
    }
}

// One body part of the multipart at level, from just after its delimiter
// line. Returns the level of the delimiter that ended it, or -1.
int CMimeMessage::Walker::ParsePart(std::size_t level) {
    std::optional<CMailHeader> partHeader(std::in_place);
    const HeaderResult head = ReadHeader(*partHeader, level + 1);
    if (++message.partCounter > kMaxParts) {
        finished = true;
        return -1;
    }

    const std::string disposition = partHeader->GetField("Content-Disposition");
    const std::string type = FoldCase(std::string(Trim(partHeader->GetField("Content-Type"))));
    const std::string parameters = partHeader->GetFieldParameters("Content-Type");
    std::string contentId(Trim(partHeader->GetField("Content-Id")));
    const std::size_t lt = contentId.find('<');
    const std::size_t gt = lt == std::string::npos ? lt : contentId.find('>', lt);
    if (gt != std::string::npos) contentId = contentId.substr(lt + 1, gt - lt - 1);
    const std::string dispositionType =
        FoldCase(std::string(Trim(std::string_view(disposition).substr(0, disposition.find(';')))));

    // Where the file name stands: Content-Type's parameters, else Content-Disposition.
    std::string_view nameSource;
    std::size_t namePos = FoldCase(parameters).find("name=");
    if (namePos != std::string::npos) {
        nameSource = parameters;
    } else {
        namePos = disposition.find("name=");
        if (namePos != std::string::npos) nameSource = disposition;
    }
    const bool hasName = namePos != std::string::npos;

    auto partEnd = [&](CMailContent* out) {
        if (head.end == HeaderEnd::Delimiter) return head.level;
        if (head.end == HeaderEnd::End) return -1;
        return ScanToDelimiter(out, level + 1, head.blankLength);
    };

    // A multipart is always walked, never taken whole as an attachment: a
    // container that carries a name or "inline" would otherwise hide the
    // text and files inside it.
    if (Contains(type, "multipart/")) {
        const std::string boundary = FindBoundary(*partHeader);
        partHeader.reset();
        if (head.end != HeaderEnd::Blank || boundary.empty() || boundary.size() > kMaxBoundary ||
            level + 1 >= kMaxDepth)
            return partEnd(nullptr);  // not walked: its content is passed over
        delimiters.push_back("\r\n--" + boundary);
        const int matched = WalkMultipart(level + 1);
        delimiters.pop_back();
        return matched;
    }

    const bool isAttachment = dispositionType == "attachment" ||
                              (dispositionType == "inline" && !Contains(type, "text")) || hasName ||
                              !Contains(type, "text/");
    CMailContent* out = nullptr;
    if (isAttachment) {
        std::string name = hasName ? ReadName(nameSource, namePos + 5) : std::string();
        if (name.empty()) name = "ATTFL" + std::to_string(message.partCounter);
        if (Contains(type, "message/rfc822") && !EndsWithNoCase(name, ".eml")) name += ".eml";
        if (!extracting) {
            if (!EqualsNoCase(name, "WINMAIL.DAT"))
                message.attachments.push_back(CMimeAttachment{name, type, dispositionType, contentId});
        } else if (name == extractName) {
            *message.header = std::move(*partHeader);
            ResetBody();
            out = message.body.get();
            finished = true;
        }
    } else if (!extracting && contentId.empty()) {
        // Body text (every other leaf is an attachment, so this one is
        // "text/"). An HTML alternative replaces what came before it; the
        // header describes the last part written, for the consumer to decode.
        if (Contains(type, "text/html")) ResetBody();
        message.header->SetField("CONTENT-TRANSFER-ENCODING", partHeader->GetField("Content-Transfer-Encoding"));
        message.header->SetField("CONTENT-TYPE", type);
        out = message.body.get();
    }
    partHeader.reset();
    return partEnd(out);
}

// A single part that is not text: one attachment, "ATTFL0".
void CMimeMessage::Walker::ParseSinglePart(std::size_t blankLength) {
    const CMailHeader& header = *message.header;
    const std::string type = FoldCase(message.contentType);
    const std::string disposition = header.GetField("Content-Disposition");
    std::string name = "ATTFL" + std::to_string(message.partCounter);
    if (Contains(type, "message/rfc822")) name += ".eml";
    message.attachments.push_back(CMimeAttachment{
        name, type, FoldCase(std::string(Trim(std::string_view(disposition).substr(0, disposition.find(';'))))),
        std::string()});
    ResetBody();
    if (extracting) CopyRest(message.body.get(), blankLength);
}

// A message without a MIME type.
void CMimeMessage::Walker::ParsePlain(std::size_t blankLength) {
    const bool hasMimeVersion = !message.header->GetField("Mime-Version").empty();
    const bool hasFrom = !message.header->GetField("From").empty();
    if (hasMimeVersion && hasFrom) {
        ResetBody();
        CopyRest(message.body.get(), blankLength);
        return;
    }
    if (hasMimeVersion || !hasFrom) {
        // The whole message: its header is in the body file already.
        CopyRest(message.body.get(), 0);
        return;
    }
    ResetBody();
    Consume(blankLength);
    ScanUuencoded();
}

// Body text up to the first uuencode start line, then the blocks.
void CMimeMessage::Walker::ScanUuencoded() {
    bool beforeFirstBlock = true;
    bool atLineStart = true;
    std::size_t length = 0;
    bool complete = false;
    std::size_t noSkip = 0;
    std::string name;
    while (PeekLine(length, complete)) {
        if (atLineStart && IsUuencodeStart(std::string_view(Data(), length), name)) {
            beforeFirstBlock = false;
            Consume(length);
            if (!complete) SkipRestOfLine();
            if (!extracting) {
                if (!EqualsNoCase(name, "WINMAIL.DAT"))
                    message.attachments.push_back(CMimeAttachment{name, std::string(), "attachment", std::string()});
                ReadUuencodedBlock(nullptr);
            } else if (EqualsNoCase(name, extractName)) {
                auto decoded = std::make_unique<CTempMailContent>();
                if (!decoded->Open()) {
                    writeError = true;
                    return;
                }
                ReadUuencodedBlock(decoded.get());
                message.body = std::move(decoded);
                finished = true;
                return;
            } else {
                ReadUuencodedBlock(nullptr);
            }
            atLineStart = true;
            continue;
        }
        if (beforeFirstBlock && !extracting) Emit(message.body.get(), Data(), length, noSkip);
        Consume(length);
        atLineStart = complete;
    }
}

// The encoded lines up to the "end" line, decoded into out when given.
void CMimeMessage::Walker::ReadUuencodedBlock(CMailContent* out) {
    std::size_t length = 0;
    bool complete = false;
    unsigned char decoded[64];
    while (PeekLine(length, complete)) {
        const std::string_view line(Data(), length);
        const bool isEnd = Trim(line) == "end";
        if (!isEnd && out) {
            const std::size_t count = DecodeUuencodeLine(line, decoded);
            if (count > 0 && !out->Write(decoded, static_cast<std::uint32_t>(count))) writeError = true;
        }
        Consume(length);
        if (!complete) SkipRestOfLine();
        if (isEnd) return;
    }
}

bool CMimeMessage::Walker::Run() {
    if (Ensure(kWindow) == 0) return false;
    auto body = std::make_unique<CTempMailContent>();
    if (!body->Open()) return false;
    message.body = std::move(body);
    message.header = std::make_unique<CMailHeader>();

    // The raw header goes to the body file as it is read: a plain message
    // without From keeps it there (its body is the whole message), every
    // other kind clears it.
    tee = message.body.get();
    const HeaderResult head = ReadHeader(*message.header, 0);
    tee = nullptr;

    message.contentType = std::string(Trim(message.header->GetField("Content-Type")));
    message.partCounter = 0;
    const std::string& type = message.contentType;
    if (StartsWithNoCase(type, "text/")) {
        ResetBody();
        CopyRest(message.body.get(), head.blankLength);
    } else if (StartsWithNoCase(type, "multipart/")) {
        // A multipart whose delimiter never comes has an empty body and no
        // attachments.
        ResetBody();
        const std::string boundary = FindBoundary(*message.header);
        if (head.end == HeaderEnd::Blank && !boundary.empty() && boundary.size() <= kMaxBoundary) {
            delimiters.push_back("\r\n--" + boundary);
            WalkMultipart(0);
        }
    } else if (!type.empty()) {
        ParseSinglePart(head.blankLength);
    } else {
        ParsePlain(head.blankLength);
    }
    message.body->Rewind();
    return !writeError && !readError;
}

// ---- CMimeMessage ------------------------------------------------------------

CMimeMessage::CMimeMessage() = default;
CMimeMessage::~CMimeMessage() = default;

bool CMimeMessage::Parse(CMailContent* content, const std::string& extractName) {
    partCounter = 0;
    contentType.clear();
    attachments.clear();
    header.reset();
    body.reset();
    if (!content) return false;
    Walker walker(*this, *content, extractName);
    return walker.Run();
}
