// CImapMessage: one line-by-line pass over a stored message builds its part
// tree (header and body byte ranges, line counts, the Content-* fields); the
// ENVELOPE and BODYSTRUCTURE texts and the section ranges are derived from
// the tree afterwards, so a FETCH never reads more of the file than it sends.
#include "CImapMessage.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "maillog/CMailBodySearch.h"
#include "message/CBase64Decoder.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// Of each line only this much is looked at (header text, boundaries); the
// rest is counted. RFC 5322 lines are at most 998 bytes, but some
// writers put a long recipient list on one line.
constexpr std::size_t kLineKept = 64 * 1024;
// The header text kept of one part below the top, and of all of them together.
constexpr std::size_t kPartHeaderBytes = 64 * 1024;
constexpr std::size_t kNestedHeaderBudget = 1024 * 1024;
constexpr std::size_t kMaxBoundary = 200;

using Fields = std::vector<std::pair<std::string, std::string>>;

// A raw field value without its folding line ends, trimmed.
std::string Unfolded(std::string_view raw) {
    std::string text;
    text.reserve(raw.size());
    for (char c : raw)
        if (c != '\r' && c != '\n') text.push_back(c);
    return std::string(Trim(text));
}

const std::string* FindField(const Fields& fields, std::string_view name) {
    for (const auto& field : fields)
        if (EqualsNoCase(field.first, name)) return &field.second;
    return nullptr;
}

// An IMAP string: quoted when it can be, a literal when it holds line ends,
// quotes, backslashes or 8-bit bytes. NUL cannot be sent and is dropped.
std::string ImapString(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    bool literal = false;
    for (char c : text) {
        if (c == '\0') continue;
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n' || c == '"' || c == '\\' || u >= 0x80) literal = true;
        clean.push_back(c);
    }
    if (literal) return "{" + std::to_string(clean.size()) + "}\r\n" + clean;
    return "\"" + clean + "\"";
}

std::string NString(const std::optional<std::string>& text) {
    return text ? ImapString(*text) : std::string("NIL");
}

std::optional<std::string> FieldText(const Fields& fields, std::string_view name) {
    const std::string* raw = FindField(fields, name);
    if (!raw) return std::nullopt;
    return Unfolded(*raw);
}

// ---- MIME header values: type/subtype; attribute=value ... ----

class ValueScanner {
public:
    explicit ValueScanner(std::string text) : text(std::move(text)) {}

    // Blanks and (nested) comments.
    void SkipCfws() {
        while (at < text.size()) {
            if (IsBlank(text[at])) {
                ++at;
            } else if (text[at] == '(') {
                int depth = 0;
                while (at < text.size()) {
                    const char c = text[at++];
                    if (c == '\\' && at < text.size())
                        ++at;
                    else if (c == '(')
                        ++depth;
                    else if (c == ')' && --depth == 0)
                        break;
                }
            } else {
                break;
            }
        }
    }
    bool Peek(char c) {
        SkipCfws();
        return at < text.size() && text[at] == c;
    }
    bool Take(char c) {
        if (!Peek(c)) return false;
        ++at;
        return true;
    }
    // An RFC 2045 token.
    std::optional<std::string> Token() {
        SkipCfws();
        const std::size_t start = at;
        while (at < text.size()) {
            const char c = text[at];
            const auto u = static_cast<unsigned char>(c);
            if (u <= 0x20 || u == 0x7f || std::strchr("()<>@,;:\\\"/[]?=", c)) break;
            ++at;
        }
        if (at == start) return std::nullopt;
        return text.substr(start, at - start);
    }
    std::optional<std::string> TokenOrQuoted() {
        SkipCfws();
        if (at < text.size() && text[at] == '"') {
            ++at;
            std::string value;
            while (at < text.size() && text[at] != '"') {
                if (text[at] == '\\' && at + 1 < text.size()) ++at;
                value.push_back(text[at++]);
            }
            if (at >= text.size()) return std::nullopt;
            ++at;
            return value;
        }
        return Token();
    }
    bool AtEnd() {
        SkipCfws();
        return at >= text.size();
    }

private:
    std::string text;
    std::size_t at = 0;
};

// "; attribute=value" pairs up to the first malformed one; names upper-cased.
Fields ReadParameters(ValueScanner& scanner) {
    Fields params;
    while (scanner.Take(';')) {
        if (scanner.AtEnd()) break;  // a trailing ';'
        auto name = scanner.Token();
        if (!name || !scanner.Take('=')) break;
        auto value = scanner.TokenOrQuoted();
        if (!value) break;
        params.emplace_back(UpperCase(std::move(*name)), std::move(*value));
    }
    return params;
}

std::string ParameterList(const Fields& params) {
    if (params.empty()) return "NIL";
    std::string text = "(";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i) text.push_back(' ');
        text += ImapString(params[i].first) + " " + ImapString(params[i].second);
    }
    return text + ")";
}

// ---- Addresses (RFC 5322 address lists with groups) ----

struct Token {
    enum Kind { Word, Quoted, Special, Comment } kind;
    std::string text;  // Word: as written; Quoted: unescaped; Special: the character
    std::string raw;   // as written (quotes included)
};

std::vector<Token> AddressTokens(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (IsBlank(c) || c == '\0') {
            ++at;
        } else if (c == '(') {
            const std::size_t start = at;
            int depth = 0;
            std::string inner;
            while (at < text.size()) {
                const char d = text[at++];
                if (d == '\\' && at < text.size()) {
                    inner.push_back(text[at++]);
                    continue;
                }
                if (d == '(' && depth++ == 0) continue;
                if (d == ')' && --depth == 0) break;
                inner.push_back(d);
            }
            tokens.push_back({Token::Comment, std::string(Trim(inner)), std::string(text.substr(start, at - start))});
        } else if (c == '"') {
            const std::size_t start = at++;
            std::string inner;
            while (at < text.size() && text[at] != '"') {
                if (text[at] == '\\' && at + 1 < text.size()) ++at;
                inner.push_back(text[at++]);
            }
            if (at < text.size()) ++at;
            tokens.push_back({Token::Quoted, inner, std::string(text.substr(start, at - start))});
        } else if (std::strchr("<>@,;:", c)) {
            tokens.push_back({Token::Special, std::string(1, c), std::string(1, c)});
            ++at;
        } else {
            const std::size_t start = at;
            if (c == '[') {  // a domain literal
                while (at < text.size() && text[at] != ']') ++at;
                if (at < text.size()) ++at;
            } else {
                ++at;  // a stray ')' is a word of its own
                while (at < text.size() && !IsBlank(text[at]) && text[at] != '\0' &&
                       !std::strchr("<>@,;:()\"", text[at]))
                    ++at;
            }
            const std::string word(text.substr(start, at - start));
            tokens.push_back({Token::Word, word, word});
        }
    }
    return tokens;
}

class AddressListWriter {
public:
    explicit AddressListWriter(std::string_view value) : tokens(AddressTokens(value)) {}

    // "((name adl mailbox host)...)" or NIL when the list holds no address.
    std::string Text() {
        List(false);
        return count ? "(" + out + ")" : std::string("NIL");
    }

private:
    bool IsSpecial(char c) const {
        return at < tokens.size() && tokens[at].kind == Token::Special && tokens[at].text[0] == c;
    }
    void Emit(const std::optional<std::string>& name, const std::optional<std::string>& adl,
              const std::optional<std::string>& mailbox, const std::optional<std::string>& host) {
        out += "(" + NString(name) + " " + NString(adl) + " " + NString(mailbox) + " " + NString(host) + ")";
        ++count;
    }
    // Raw tokens up to (not including) one of the stop characters.
    std::string RawUntil(const char* stops) {
        std::string text;
        while (at < tokens.size() && !(tokens[at].kind == Token::Special && std::strchr(stops, tokens[at].text[0]))) {
            if (tokens[at].kind != Token::Comment) text += tokens[at].raw;
            ++at;
        }
        return text;
    }
    static std::optional<std::string> Joined(const std::vector<std::string>& words) {
        if (words.empty()) return std::nullopt;
        std::string text;
        for (const auto& word : words) {
            if (!text.empty()) text.push_back(' ');
            text += word;
        }
        return text;
    }

    void List(bool inGroup) {
        while (at < tokens.size()) {
            if (IsSpecial(',')) {
                ++at;
                continue;
            }
            if (IsSpecial(';')) {
                if (inGroup) return;
                ++at;
                continue;
            }
            std::vector<std::string> words;  // the display name (or a local part)
            std::string local;
            std::optional<std::string> comment;
            while (at < tokens.size() && tokens[at].kind != Token::Special) {
                if (tokens[at].kind == Token::Comment) {
                    comment = tokens[at].text;
                } else {
                    words.push_back(tokens[at].text);
                    local += tokens[at].raw;
                }
                ++at;
            }
            if (IsSpecial(':') && !inGroup) {
                ++at;
                Emit(std::nullopt, std::nullopt, Joined(words).value_or(""), std::nullopt);
                List(true);
                if (IsSpecial(';')) ++at;
                Emit(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
            } else if (IsSpecial('<')) {
                ++at;
                std::optional<std::string> adl;
                if (IsSpecial('@')) {  // an obsolete route "@a,@b:"
                    std::string route = RawUntil(":>");
                    if (IsSpecial(':')) ++at;
                    adl = route;
                }
                std::string mailbox = RawUntil("@>");
                std::optional<std::string> host;
                if (IsSpecial('@')) {
                    ++at;
                    host = RawUntil(">,;");
                }
                if (IsSpecial('>')) ++at;
                Emit(Joined(words), adl, mailbox, host.value_or(""));
            } else if (IsSpecial('@')) {
                ++at;
                std::string host = RawUntil(",;<>");
                while (at < tokens.size() && tokens[at].kind == Token::Comment) ++at;
                if (!comment && at > 0 && tokens[at - 1].kind == Token::Comment) comment = tokens[at - 1].text;
                Emit(comment, std::nullopt, local, host);
            } else if (!words.empty()) {
                // A bare word ("undisclosed-recipients"): a mailbox without a host.
                Emit(comment, std::nullopt, local, "");
            } else if (at < tokens.size() && tokens[at].kind == Token::Special) {
                ++at;  // a stray '>' or ':' inside a group
            }
        }
    }

    std::vector<Token> tokens;
    std::size_t at = 0;
    std::string out;
    std::size_t count = 0;
};

std::string AddressList(const Fields& fields, std::string_view name) {
    const std::string* raw = FindField(fields, name);
    if (!raw) return "NIL";
    return AddressListWriter(Unfolded(*raw)).Text();
}

// ---- Dates (RFC 5322 with the obsolete forms) ----

std::time_t ParseMailDate(std::string_view value) {
    std::vector<std::string> words;
    std::string word;
    int depth = 0;
    for (char c : value) {
        if (c == '(') ++depth;
        if (depth > 0) {
            if (c == ')') --depth;
            if (!word.empty()) words.push_back(std::move(word)), word.clear();
            continue;
        }
        if (IsBlank(c) || c == ',') {
            if (!word.empty()) words.push_back(std::move(word)), word.clear();
        } else {
            word.push_back(c);
        }
        if (words.size() > 16) return 0;
    }
    if (!word.empty()) words.push_back(word);
    std::size_t i = 0;
    const auto number = [](const std::string& text, int& value) {
        if (text.empty() || text.size() > 4) return false;
        value = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        return true;
    };
    static const char* const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (i < words.size())
        for (const char* day : kDays)
            if (StartsWithNoCase(words[i], day)) {
                ++i;
                break;
            }
    if (words.size() < i + 3) return 0;
    int day = 0, year = 0, month = -1;
    if (!number(words[i], day) || day < 1 || day > 31) return 0;
    for (int m = 0; m < 12; ++m)
        if (words[i + 1].size() >= 3 && StartsWithNoCase(words[i + 1], kMonths[m])) month = m;
    if (month < 0 || !number(words[i + 2], year)) return 0;
    if (words[i + 2].size() <= 2)
        year += year < 50 ? 2000 : 1900;
    else if (words[i + 2].size() == 3)
        year += 1900;
    i += 3;
    int hour = 0, minute = 0, second = 0;
    if (i < words.size()) {
        const std::string& clock = words[i++];
        const std::size_t c1 = clock.find(':');
        if (c1 == std::string::npos) return 0;
        const std::size_t c2 = clock.find(':', c1 + 1);
        if (!number(clock.substr(0, c1), hour) ||
            !number(clock.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1), minute) ||
            (c2 != std::string::npos && !number(clock.substr(c2 + 1), second)) || hour > 23 || minute > 59 ||
            second > 60)
            return 0;
    }
    long offset = 0;  // seconds east of UTC
    if (i < words.size()) {
        const std::string zone = UpperCase(words[i]);
        int hhmm = 0;
        if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 5 && number(zone.substr(1), hhmm)) {
            offset = (hhmm / 100 * 60 + hhmm % 100) * 60L * (zone[0] == '-' ? -1 : 1);
        } else {
            static const struct {
                const char* name;
                int hours;
            } kZones[] = {{"EDT", -4}, {"EST", -5}, {"CDT", -5}, {"CST", -6},
                          {"MDT", -6}, {"MST", -7}, {"PDT", -7}, {"PST", -8}};
            for (const auto& z : kZones)
                if (zone == z.name) offset = z.hours * 3600L;
        }
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t when = timegm(&tm);
    if (when == static_cast<std::time_t>(-1)) return 0;
    return when - offset;
}

std::string EnvelopeText(const Fields& fields) {
    const auto orFrom = [&](std::string_view name) {
        const std::string text = AddressList(fields, name);
        return text == "NIL" ? AddressList(fields, "From") : text;
    };
    return "(" + NString(FieldText(fields, "Date")) + " " + NString(FieldText(fields, "Subject")) + " " +
           AddressList(fields, "From") + " " + orFrom("Sender") + " " + orFrom("Reply-To") + " " +
           AddressList(fields, "To") + " " + AddressList(fields, "Cc") + " " + AddressList(fields, "Bcc") + " " +
           NString(FieldText(fields, "In-Reply-To")) + " " + NString(FieldText(fields, "Message-ID")) + ")";
}

std::string HeaderFieldsText(const Fields& fields, const std::vector<std::string>& names, bool exclude) {
    std::string text;
    for (const auto& field : fields) {
        bool listed = false;
        for (const auto& name : names) listed = listed || EqualsNoCase(field.first, name);
        if (listed != exclude) text += field.first + ":" + field.second + "\r\n";
    }
    return text + "\r\n";
}

}  // namespace

struct CImapMessage::Part {
    std::string type = "TEXT";
    std::string subtype = "PLAIN";
    Fields params{{"CHARSET", "US-ASCII"}};
    Fields fields;  // the header's fields, raw values (the top's are moved to topFields)
    std::uint64_t headerOffset = 0;
    std::uint64_t headerSize = 0;
    std::uint64_t bodyOffset = 0;
    std::uint64_t bodySize = 0;
    std::uint64_t lines = 0;
    bool multipart = false;
    std::vector<std::unique_ptr<Part>> children;  // multipart
    std::unique_ptr<Part> embedded;               // message/rfc822: the message it holds
};

// The part tree built line by line. Each open part is a frame; a boundary
// line closes every frame above the multipart it belongs to.
class CImapMessage::Analyser {
public:
    explicit Analyser(CImapMessage& message) : message(message) {
        message.root = std::make_unique<Part>();
        frames.emplace_back(message.root.get());
        parts = 1;
    }

    void Line(std::uint64_t offset, std::string_view kept, std::uint64_t length, unsigned ending) {
        if (kept.size() >= 2 && kept[0] == '-' && kept[1] == '-' && Boundary(offset, kept, length, ending)) return;
        for (Frame& frame : frames)
            if (frame.inBody) ++frame.bodyLines;
        Frame& top = frames.back();
        if (!top.inBody) {
            if (length == 0)
                EndHeader(offset + ending);
            else
                HeaderLine(top, kept);
        }
        previousLength = length;
        previousEnding = ending;
    }

    bool TopHeaderRead() const { return !frames.empty() && frames.front().inBody; }

    void Finish(std::uint64_t size) {
        while (!frames.empty()) Close(size, false);
        Part& root = *message.root;
        message.topFields = std::move(root.fields);
        message.headerSize = root.headerSize;
    }

private:
    struct Frame {
        explicit Frame(Part* part) : part(part) {}
        Part* part;
        unsigned depth = 0;
        bool inBody = false;
        bool digest = false;  // a multipart/digest: its parts default to message/rfc822
        bool epilogue = false;
        bool digestChild = false;
        std::string boundary;  // a multipart's, "--" included
        std::uint64_t bodyLines = 0;
        std::size_t keptBytes = 0;
    };

    std::size_t HeaderLimit(const Frame& frame) const {
        return frame.part == message.root.get() ? kMaxHeaderBytes : kPartHeaderBytes;
    }

    void HeaderLine(Frame& frame, std::string_view text) {
        Fields& fields = frame.part->fields;
        const bool root = frame.part == message.root.get();
        std::size_t room = HeaderLimit(frame) - std::min(HeaderLimit(frame), frame.keptBytes);
        if (!root) room = std::min(room, kNestedHeaderBudget - std::min(kNestedHeaderBudget, nestedKept));
        std::size_t used = 0;
        if (text[0] == ' ' || text[0] == '\t') {
            if (!fields.empty() && frame.keptBytes > 0 && lastFieldKept) {
                if (text.size() + 2 > room) {
                    lastFieldKept = false;
                    return;
                }
                fields.back().second.append("\r\n").append(text);
                used = text.size() + 2;
            }
        } else {
            const std::size_t colon = text.find(':');
            lastFieldKept = false;
            if (colon == std::string_view::npos || colon == 0 || text.size() > room) return;
            const std::string_view name = Trim(text.substr(0, colon));
            if (name.empty()) return;
            fields.emplace_back(std::string(name), std::string(text.substr(colon + 1)));
            lastFieldKept = true;
            used = text.size();
        }
        frame.keptBytes += used;
        if (!root) nestedKept += used;
    }

    // The part's Content-* fields read; a multipart or message beyond the
    // limits is an opaque text/plain part.
    void Interpret(Frame& frame, bool mayNest) {
        Part& part = *frame.part;
        if (const std::string* value = FindField(part.fields, "Content-Type")) {
            ValueScanner scanner(Unfolded(*value));
            auto type = scanner.Token();
            if (type && scanner.Take('/')) {
                if (auto subtype = scanner.Token()) {
                    part.type = UpperCase(std::move(*type));
                    part.subtype = UpperCase(std::move(*subtype));
                    part.params = ReadParameters(scanner);
                }
            }
        } else if (frame.digestChild) {
            part.type = "MESSAGE";
            part.subtype = "RFC822";
            part.params.clear();
        }
        const bool nestable = mayNest && frame.depth + 1 < kMaxDepth && parts < kMaxParts;
        if (part.type == "MULTIPART") {
            const std::string* boundary = FindField(part.params, "BOUNDARY");
            if (nestable && boundary && !boundary->empty() && boundary->size() <= kMaxBoundary) {
                part.multipart = true;
                frame.boundary = "--" + *boundary;
                frame.digest = part.subtype == "DIGEST";
                return;
            }
        } else if (part.type == "MESSAGE" && part.subtype == "RFC822") {
            const auto encoding = FieldText(part.fields, "Content-Transfer-Encoding");
            const bool plain = !encoding || EqualsNoCase(*encoding, "7bit") || EqualsNoCase(*encoding, "8bit") ||
                               EqualsNoCase(*encoding, "binary");
            if (nestable && plain) {
                part.embedded = std::make_unique<Part>();
                ++parts;
                return;
            }
        } else {
            return;
        }
        part.type = "TEXT";
        part.subtype = "PLAIN";
        part.params = {{"CHARSET", "US-ASCII"}};
    }

    void EndHeader(std::uint64_t bodyOffset) {
        Frame& frame = frames.back();
        Part& part = *frame.part;
        part.headerSize = bodyOffset - part.headerOffset;
        part.bodyOffset = bodyOffset;
        frame.inBody = true;
        Interpret(frame, true);
        if (part.embedded) {
            Frame inner{part.embedded.get()};
            inner.depth = frame.depth + 1;
            inner.part->headerOffset = bodyOffset;
            frames.push_back(std::move(inner));
        }
    }

    // Closes the top frame with its body ending at end; atDelimiter when a
    // boundary line ends it (the line end before it is the delimiter's).
    void Close(std::uint64_t end, bool atDelimiter) {
        Frame& frame = frames.back();
        Part& part = *frame.part;
        if (!frame.inBody) {
            part.headerSize = std::max(end, part.headerOffset) - part.headerOffset;
            part.bodyOffset = part.headerOffset + part.headerSize;
            Interpret(frame, false);
        }
        part.bodySize = std::max(end, part.bodyOffset) - part.bodyOffset;
        part.lines = frame.bodyLines;
        if (atDelimiter && frame.bodyLines > 0 && previousLength == 0) --part.lines;
        frames.pop_back();
    }

    // A line that delimits a part of an open multipart: closes what is open
    // inside it and opens the next part.
    bool Boundary(std::uint64_t offset, std::string_view kept, std::uint64_t length, unsigned ending) {
        for (std::size_t k = frames.size(); k-- > 0;) {
            const Frame& frame = frames[k];
            if (frame.boundary.empty() || !frame.inBody) continue;
            if (kept.size() != length || !kept.starts_with(frame.boundary)) continue;
            std::string_view rest = kept.substr(frame.boundary.size());
            const bool last = rest.starts_with("--");
            if (last) rest.remove_prefix(2);
            if (!Trim(rest).empty()) continue;
            const std::uint64_t end = offset - std::min<std::uint64_t>(offset, previousEnding);
            while (frames.size() > k + 1) Close(end, true);
            for (Frame& open : frames)
                if (open.inBody) ++open.bodyLines;
            Frame& multipart = frames.back();
            if (last) {
                multipart.epilogue = true;
            } else if (!multipart.epilogue && parts < kMaxParts) {
                multipart.part->children.push_back(std::make_unique<Part>());
                ++parts;
                Frame child{multipart.part->children.back().get()};
                child.depth = multipart.depth + 1;
                child.digestChild = multipart.digest;
                child.part->headerOffset = offset + length + ending;
                frames.push_back(std::move(child));
            }
            previousLength = length;
            previousEnding = ending;
            return true;
        }
        return false;
    }

    CImapMessage& message;
    std::vector<Frame> frames;
    unsigned parts = 0;
    std::size_t nestedKept = 0;
    bool lastFieldKept = false;
    std::uint64_t previousLength = 1;
    unsigned previousEnding = 0;
};

CImapMessage::CImapMessage() = default;
CImapMessage::CImapMessage(CImapMessage&&) noexcept = default;
CImapMessage& CImapMessage::operator=(CImapMessage&&) noexcept = default;
CImapMessage::~CImapMessage() = default;

std::optional<CImapMessage> CImapMessage::Analyse(int fd, std::uint32_t size) {
    return Read(fd, size, false);
}

std::optional<CImapMessage> CImapMessage::AnalyseHeader(int fd, std::uint32_t size) {
    return Read(fd, size, true);
}

std::optional<CImapMessage> CImapMessage::Read(int fd, std::uint32_t size, bool headerOnly) {
    CImapMessage message;
    message.fileSize = size;
    Analyser analyser(message);
    std::vector<char> block(std::min<std::size_t>(kBlockSize, std::max<std::uint32_t>(size, 1)));
    std::string line;  // the kept start of the line being read
    std::uint64_t lineStart = 0;
    std::uint64_t lineLength = 0;  // bytes of it so far, line end included
    char last = '\0';
    std::uint64_t position = 0;
    while (position < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - position));
        const ssize_t n = ::pread(fd, block.data(), want, static_cast<off_t>(position));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;  // unreadable, or shorter than its row says
        const char* data = block.data();
        std::size_t at = 0;
        const auto count = static_cast<std::size_t>(n);
        while (at < count) {
            const void* found = std::memchr(data + at, '\n', count - at);
            const std::size_t end =
                found ? static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1 : count;
            if (line.size() < kLineKept + 2) line.append(data + at, std::min(end - at, kLineKept + 2 - line.size()));
            lineLength += end - at;
            const char before = end - at >= 2 ? data[end - 2] : last;
            last = data[end - 1];
            if (found) {
                const unsigned ending = lineLength >= 2 && before == '\r' ? 2 : 1;
                const std::uint64_t content = lineLength - ending;
                analyser.Line(lineStart, std::string_view(line).substr(0, std::min<std::uint64_t>(content, kLineKept)),
                              content, ending);
                lineStart += lineLength;
                lineLength = 0;
                line.clear();
                if (headerOnly && analyser.TopHeaderRead()) {
                    analyser.Finish(size);
                    return message;
                }
            }
            at = end;
        }
        position += count;
    }
    if (lineLength > 0)
        analyser.Line(lineStart, std::string_view(line).substr(0, std::min<std::uint64_t>(lineLength, kLineKept)),
                      lineLength, 0);
    analyser.Finish(size);
    return message;
}

std::string CImapMessage::Envelope() const {
    return EnvelopeText(topFields);
}

namespace {

std::string DispositionText(const Fields& fields) {
    const std::string* raw = FindField(fields, "Content-Disposition");
    if (!raw) return "NIL";
    ValueScanner scanner(Unfolded(*raw));
    auto type = scanner.Token();
    if (!type) return "NIL";
    return "(" + ImapString(UpperCase(std::move(*type))) + " " + ParameterList(ReadParameters(scanner)) + ")";
}

std::string LanguageText(const Fields& fields) {
    const std::string* raw = FindField(fields, "Content-Language");
    if (!raw) return "NIL";
    ValueScanner scanner(Unfolded(*raw));
    std::vector<std::string> tags;
    while (auto tag = scanner.Token()) {
        tags.push_back(*tag);
        if (!scanner.Take(',')) break;
    }
    if (tags.empty()) return "NIL";
    if (tags.size() == 1) return ImapString(tags[0]);
    std::string text = "(";
    for (std::size_t i = 0; i < tags.size(); ++i) text += (i ? " " : "") + ImapString(tags[i]);
    return text + ")";
}

std::string ExtensionTail(const Fields& fields) {
    return " " + DispositionText(fields) + " " + LanguageText(fields) + " " +
           NString(FieldText(fields, "Content-Location"));
}

}  // namespace

std::string CImapMessage::BodyStructure(bool extended) const {
    // Recursive: the depth is bounded by kMaxDepth.
    struct Writer {
        bool extended;
        const Fields* topFields;
        const Part* root;
        const Fields& FieldsOf(const Part& part) const { return &part == root ? *topFields : part.fields; }
        void Write(const Part& part, std::string& out) const {
            const Fields& fields = FieldsOf(part);
            out.push_back('(');
            if (part.multipart) {
                if (part.children.empty())
                    out += "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 0 0)";
                for (const auto& child : part.children) Write(*child, out);
                out += " " + ImapString(part.subtype);
                if (extended) out += " " + ParameterList(part.params) + ExtensionTail(fields);
            } else {
                const auto encoding = FieldText(fields, "Content-Transfer-Encoding");
                out += ImapString(part.type) + " " + ImapString(part.subtype) + " " + ParameterList(part.params) + " " +
                       NString(FieldText(fields, "Content-ID")) + " " +
                       NString(FieldText(fields, "Content-Description")) + " " +
                       ImapString(encoding && !encoding->empty() ? UpperCase(*encoding) : "7BIT") + " " +
                       std::to_string(part.bodySize);
                if (part.embedded) {
                    out += " " + EnvelopeText(part.embedded->fields) + " ";
                    Write(*part.embedded, out);
                    out += " " + std::to_string(part.lines);
                } else if (part.type == "TEXT") {
                    out += " " + std::to_string(part.lines);
                }
                if (extended) out += " NIL" + ExtensionTail(fields);
            }
            out.push_back(')');
        }
    };
    std::string out;
    if (root) Writer{extended, &topFields, root.get()}.Write(*root, out);
    return out;
}

std::optional<std::vector<CImapMessage::Piece>> CImapMessage::Section(const CFetchSection& section) const {
    if (!root) return std::nullopt;
    std::vector<Piece> pieces;
    const auto range = [&pieces](std::uint64_t offset, std::uint64_t length) {
        if (length) pieces.push_back({false, {}, offset, length});
    };
    // The message whose HEADER / TEXT / fields the section names.
    const Part* messagePart = nullptr;
    const Fields* messageFields = nullptr;
    const Part* part = nullptr;  // the part the path names
    if (section.part.empty()) {
        messagePart = root.get();
        messageFields = &topFields;
    } else {
        // Numbers index a multipart's parts; a message that is not multipart
        // has its body as part 1; a message/rfc822 part is indexed through
        // the message it holds.
        const Part* container = root.get();
        bool isMessage = true;
        for (unsigned number : section.part) {
            if (!container) return std::nullopt;
            if (!isMessage && container->embedded) {
                container = container->embedded.get();
                isMessage = true;
            }
            if (container->multipart) {
                if (number > container->children.size()) return std::nullopt;
                part = container->children[number - 1].get();
            } else if (isMessage && number == 1) {
                part = container;
            } else {
                return std::nullopt;
            }
            container = part;
            isMessage = false;
        }
        if (section.text == CFetchSection::Text::Header || section.text == CFetchSection::Text::Text ||
            section.text == CFetchSection::Text::HeaderFields || section.text == CFetchSection::Text::HeaderFieldsNot) {
            if (!part->embedded) return std::nullopt;
            messagePart = part->embedded.get();
            messageFields = &messagePart->fields;
        }
    }
    switch (section.text) {
        case CFetchSection::Text::All:
            if (part)
                range(part->bodyOffset, part->bodySize);
            else
                range(0, fileSize);
            break;
        case CFetchSection::Text::Header:
            range(messagePart->headerOffset, messagePart->headerSize);
            break;
        case CFetchSection::Text::Text:
            range(messagePart->bodyOffset, messagePart->bodySize);
            break;
        case CFetchSection::Text::HeaderFields:
        case CFetchSection::Text::HeaderFieldsNot:
            pieces.push_back(
                {true,
                 HeaderFieldsText(*messageFields, section.fields, section.text == CFetchSection::Text::HeaderFieldsNot),
                 0, 0});
            break;
        case CFetchSection::Text::Mime:
            if (!part) return std::nullopt;
            range(part->headerOffset, part->headerSize);
            break;
    }
    if (!section.partial) return pieces;
    // <origin.length>: cut the pieces to that window.
    std::vector<Piece> window;
    std::uint64_t skip = section.origin;
    std::uint64_t left = section.length;
    for (Piece& piece : pieces) {
        const std::uint64_t size = piece.generated ? piece.text.size() : piece.length;
        if (skip >= size) {
            skip -= size;
            continue;
        }
        const std::uint64_t take = std::min(size - skip, left);
        if (piece.generated) {
            piece.text = piece.text.substr(static_cast<std::size_t>(skip), static_cast<std::size_t>(take));
        } else {
            piece.offset += skip;
            piece.length = take;
        }
        window.push_back(std::move(piece));
        skip = 0;
        left -= take;
        if (left == 0) break;
    }
    return window;
}

std::optional<std::string> CImapMessage::HeaderField(std::string_view name) const {
    return FieldText(topFields, name);
}

std::vector<std::string> CImapMessage::HeaderFields(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& field : topFields)
        if (EqualsNoCase(field.first, name)) values.push_back(Unfolded(field.second));
    return values;
}

std::time_t CImapMessage::SentDate() const {
    const auto date = HeaderField("Date");
    return date ? ParseMailDate(*date) : 0;
}

std::uint64_t CImapMessage::HeaderSize() const {
    return headerSize;
}

namespace {

// A search without regard to ASCII case over bytes fed in pieces: each piece
// is searched together with the last needle.size() - 1 bytes before it, so a
// match across the seam is found.
class StreamMatcher {
public:
    explicit StreamMatcher(std::string_view needle) : needle(FoldCase(std::string(needle))) {}
    bool Feed(std::string_view bytes) {
        if (found || bytes.empty()) return found;
        const std::size_t keep = std::min(window.size(), needle.size() - 1);
        window.erase(0, window.size() - keep);
        for (char c : bytes) window.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        found = window.find(needle) != std::string::npos;
        return found;
    }
    bool Found() const { return found; }

private:
    std::string needle;
    std::string window;
    bool found = false;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Quoted-printable decoded piece by piece: "=XX" and soft line breaks; an
// escape cut by the end of a piece waits for the next one.
class QuotedPrintableStream {
public:
    std::string Decode(std::string_view bytes) {
        pending.append(bytes);
        std::string out;
        std::size_t i = 0;
        while (i < pending.size()) {
            const char c = pending[i];
            if (c != '=') {
                out.push_back(c);
                ++i;
                continue;
            }
            if (i + 2 >= pending.size() && pending.size() - i < 3) break;  // wait for more
            const int high = HexValue(pending[i + 1]);
            const int low = HexValue(pending[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 3;
            } else if (pending[i + 1] == '\r' && pending[i + 2] == '\n') {
                i += 3;
            } else if (pending[i + 1] == '\n') {
                i += 2;
            } else {
                out.push_back(c);
                ++i;
            }
        }
        pending.erase(0, i);
        return out;
    }
    std::string Flush() {
        std::string rest;
        rest.swap(pending);
        return rest;
    }

private:
    std::string pending;
};

// Base64 decoded piece by piece through the shared decoder, in whole quads.
class Base64Stream {
public:
    std::string Decode(std::string_view bytes) {
        for (char c : bytes)
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
                c == '=')
                pending.push_back(c);
        const std::size_t whole = pending.size() / 4 * 4;
        std::string out = decoder.Decode(std::string_view(pending).substr(0, whole));
        pending.erase(0, whole);
        return out;
    }
    std::string Flush() {
        std::string out = decoder.Decode(pending);
        pending.clear();
        return out;
    }

private:
    CBase64Decoder decoder;
    std::string pending;
};

template <typename Reader>
bool StreamRange(const Reader& reader, std::uint64_t offset, std::uint64_t length,
                 const std::function<bool(std::string_view)>& feed) {
    std::vector<char> block(
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, std::max<std::uint64_t>(length, 1))));
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - done));
        const long n = reader(offset + done, block.data(), want);
        if (n <= 0) return false;
        if (feed(std::string_view(block.data(), static_cast<std::size_t>(n)))) return true;
        done += static_cast<std::uint64_t>(n);
    }
    return false;
}

}  // namespace

bool CImapMessage::Contains(int fd, std::uint32_t size, std::string_view needle, bool bodyOnly) {
    if (needle.empty()) return true;
    const auto reader = [fd](std::uint64_t position, char* buffer, std::size_t count) -> long {
        ssize_t n;
        do n = ::pread(fd, buffer, count, static_cast<off_t>(position));
        while (n < 0 && errno == EINTR);
        return static_cast<long>(n);
    };
    if (needle.size() > size) return false;  // decoding never makes text longer
    // Whether any encoding is named at all, seen in the bytes the search
    // reads anyway: most messages need no second pass.
    StreamMatcher encodingNamed("transfer-encoding");
    const auto snooping = [&reader, &encodingNamed](std::uint64_t position, char* buffer, std::size_t count) {
        const long n = reader(position, buffer, count);
        if (n > 0) encodingNamed.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        return n;
    };
    if (bodyOnly) {
        if (CMailBodySearch(snooping, 0, size).Contains(needle)) return true;
    } else {
        StreamMatcher matcher(needle);
        if (StreamRange(snooping, 0, size, [&matcher](std::string_view bytes) { return matcher.Feed(bytes); }))
            return true;
    }
    if (!encodingNamed.Found()) return false;
    // Text parts sent quoted-printable or base64 are matched decoded too.
    const auto message = Analyse(fd, size);
    if (!message) return false;
    std::vector<std::pair<const Part*, const Fields*>> open{{message->root.get(), &message->topFields}};
    while (!open.empty()) {
        const auto [part, fields] = open.back();
        open.pop_back();
        for (const auto& child : part->children) open.emplace_back(child.get(), &child->fields);
        if (part->embedded) open.emplace_back(part->embedded.get(), &part->embedded->fields);
        if (part->multipart || part->embedded || part->type != "TEXT") continue;
        const auto encoding = FieldText(*fields, "Content-Transfer-Encoding");
        if (!encoding) continue;
        StreamMatcher matcher(needle);
        if (EqualsNoCase(*encoding, "quoted-printable")) {
            QuotedPrintableStream decoder;
            if (StreamRange(reader, part->bodyOffset, part->bodySize,
                            [&](std::string_view bytes) { return matcher.Feed(decoder.Decode(bytes)); }) ||
                matcher.Feed(decoder.Flush()))
                return true;
        } else if (EqualsNoCase(*encoding, "base64")) {
            Base64Stream decoder;
            if (StreamRange(reader, part->bodyOffset, part->bodySize,
                            [&](std::string_view bytes) { return matcher.Feed(decoder.Decode(bytes)); }) ||
                matcher.Feed(decoder.Flush()))
                return true;
        }
    }
    return false;
}
