// CImapCommandParser: the IMAP command grammar (see the header).
#include "CImapCommandParser.h"

#include <cctype>

namespace {

bool IsAtomChar(unsigned char c) {
    return c > 0x20 && c < 0x7f && c != '(' && c != ')' && c != '{' && c != '"' && c != ']';
}

// Flags ("\Seen") are atoms here; a tag holds no backslash.
bool IsTagChar(unsigned char c) {
    return IsAtomChar(c) && c != '+' && c != '%' && c != '*' && c != '\\';
}

class Reader {
public:
    explicit Reader(std::string_view text) : text(text) {}

    bool AtEnd() const { return pos >= text.size(); }
    char Peek() const { return text[pos]; }

    // Arguments up to the end (depth 0) or the closing parenthesis.
    bool Values(std::vector<CImapValue>& out, unsigned depth, std::size_t& count, std::string& error) {
        bool first = true;
        while (true) {
            if (AtEnd()) {
                if (depth > 0) error = "Unterminated list";
                return depth == 0;
            }
            if (Peek() == ')') {
                if (depth == 0) {
                    error = "Unexpected )";
                    return false;
                }
                ++pos;
                return true;
            }
            if (!first) {
                if (Peek() != ' ') {
                    error = "Expected a space between arguments";
                    return false;
                }
                while (!AtEnd() && Peek() == ' ') ++pos;
                if (AtEnd() || Peek() == ')') continue;
            }
            first = false;
            if (++count > CImapCommandParser::kMaxArguments) {
                error = "Too many arguments";
                return false;
            }
            CImapValue value;
            if (!Value(value, depth, count, error)) return false;
            out.push_back(std::move(value));
        }
    }

    bool Value(CImapValue& value, unsigned depth, std::size_t& count, std::string& error) {
        const char c = Peek();
        if (c == '(') {
            if (depth + 1 > CImapCommandParser::kMaxDepth) {
                error = "Lists nested too deep";
                return false;
            }
            ++pos;
            value.kind = CImapValue::Kind::List;
            return Values(value.items, depth + 1, count, error);
        }
        if (c == '"') return Quoted(value, error);
        if (c == '{') return LiteralValue(value, error);
        return Atom(value, error);
    }

    bool Quoted(CImapValue& value, std::string& error) {
        value.kind = CImapValue::Kind::String;
        ++pos;
        while (!AtEnd()) {
            char c = text[pos++];
            if (c == '"') return true;
            if (c == '\\') {
                if (AtEnd() || (text[pos] != '"' && text[pos] != '\\')) break;
                c = text[pos++];
            } else if (c == '\r' || c == '\n' || c == '\0') {
                break;
            }
            value.text.push_back(c);
        }
        error = "Malformed quoted string";
        return false;
    }

    bool LiteralValue(CImapValue& value, std::string& error) {
        value.kind = CImapValue::Kind::String;
        value.literal = true;
        ++pos;
        std::uint64_t size = 0;
        std::size_t digits = 0;
        while (!AtEnd() && std::isdigit(static_cast<unsigned char>(Peek())) && digits < 11) {
            size = size * 10 + static_cast<unsigned>(Peek() - '0');
            ++pos;
            ++digits;
        }
        if (!AtEnd() && Peek() == '+') ++pos;
        if (digits == 0 || text.substr(pos, 3) != "}\r\n" || text.size() - pos - 3 < size) {
            error = "Malformed literal";
            return false;
        }
        pos += 3;
        value.text.assign(text.substr(pos, static_cast<std::size_t>(size)));
        pos += static_cast<std::size_t>(size);
        return true;
    }

    bool Atom(CImapValue& value, std::string& error) {
        const std::size_t start = pos;
        while (!AtEnd()) {
            const unsigned char c = static_cast<unsigned char>(Peek());
            if (c == '[') {
                // A section: anything printable up to its bracket.
                ++pos;
                while (!AtEnd() && Peek() != ']') {
                    const unsigned char d = static_cast<unsigned char>(Peek());
                    if (d < 0x20 || d == 0x7f) {
                        error = "Malformed section";
                        return false;
                    }
                    ++pos;
                }
                if (AtEnd()) {
                    error = "Unterminated section";
                    return false;
                }
                ++pos;
                continue;
            }
            if (!IsAtomChar(c)) break;
            ++pos;
        }
        if (pos == start) {
            const unsigned char c = static_cast<unsigned char>(Peek());
            error = c == '\0' ? "NUL byte in command" : "Unexpected character in command";
            return false;
        }
        value.kind = CImapValue::Kind::Atom;
        value.text.assign(text.substr(start, pos - start));
        return true;
    }

    std::string_view text;
    std::size_t pos = 0;
};

}  // namespace

bool CImapValue::IsNil() const {
    return kind == Kind::Atom && text.size() == 3 && (text[0] | 0x20) == 'n' && (text[1] | 0x20) == 'i' &&
           (text[2] | 0x20) == 'l';
}

std::string CImapCommandParser::TagOf(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && n < 64 && IsTagChar(static_cast<unsigned char>(text[n]))) ++n;
    if (n == 0 || (n < text.size() && text[n] != ' ')) return "*";
    return std::string(text.substr(0, n));
}

CImapCommandParser::Command CImapCommandParser::Parse(std::string_view text) {
    Command command;
    std::size_t n = 0;
    while (n < text.size() && IsTagChar(static_cast<unsigned char>(text[n]))) ++n;
    if (n == 0 || n > 64 || n >= text.size() || text[n] != ' ') {
        command.error = "Missing or malformed tag";
        return command;
    }
    command.tag.assign(text.substr(0, n));
    std::size_t start = n + 1;
    std::size_t end = start;
    while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
    if (end == start || end - start > 32 || (end < text.size() && text[end] != ' ')) {
        command.error = "Missing or malformed command name";
        return command;
    }
    for (std::size_t i = start; i < end; ++i)
        command.name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    if (end == text.size()) return command;
    Reader reader(text.substr(end + 1));
    std::size_t count = 0;
    std::string error;
    if (!reader.Values(command.arguments, 0, count, error)) {
        command.error = error.empty() ? "Malformed arguments" : error;
        command.arguments.clear();
    }
    return command;
}

std::optional<CImapCommandParser::Literal> CImapCommandParser::TrailingLiteral(std::string_view line) {
    if (line.size() < 3 || line.back() != '}') return std::nullopt;
    std::size_t close = line.size() - 1;
    Literal literal;
    std::size_t digitsEnd = close;
    if (line[close - 1] == '+') {
        literal.nonSynchronizing = true;
        --digitsEnd;
    }
    std::size_t open = digitsEnd;
    while (open > 0 && std::isdigit(static_cast<unsigned char>(line[open - 1]))) --open;
    if (open == digitsEnd || open == 0 || line[open - 1] != '{' || digitsEnd - open > 11) return std::nullopt;
    for (std::size_t i = open; i < digitsEnd; ++i) literal.size = literal.size * 10 + static_cast<unsigned>(line[i] - '0');
    return literal;
}

std::optional<CImapCommandParser::Ranges> CImapCommandParser::SequenceSet(std::string_view text) {
    Ranges ranges;
    auto number = [](std::string_view part, std::uint32_t& out) {
        if (part == "*") {
            out = kStar;
            return true;
        }
        if (part.empty() || part.size() > 10 || part[0] == '0') return false;
        std::uint64_t value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value > 0xFFFFFFFFu) return false;
        out = static_cast<std::uint32_t>(value);
        return true;
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        const std::string_view item = text.substr(start, comma - start);
        const std::size_t colon = item.find(':');
        std::uint32_t low = 0, high = 0;
        if (colon == std::string_view::npos) {
            if (!number(item, low)) return std::nullopt;
            high = low;
        } else if (!number(item.substr(0, colon), low) || !number(item.substr(colon + 1), high)) {
            return std::nullopt;
        }
        if (ranges.size() >= kMaxArguments) return std::nullopt;
        ranges.emplace_back(low, high);
        start = comma + 1;
    }
    return ranges;
}
