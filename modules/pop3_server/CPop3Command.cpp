// CPop3Command: POP3 command line parsing.
#include "CPop3Command.h"

#include "platform/Text.h"

namespace {

struct Keyword {
    const char* text;
    CPop3Command::Verb verb;
};

constexpr Keyword kKeywords[] = {
    {"USER", CPop3Command::Verb::User}, {"PASS", CPop3Command::Verb::Pass}, {"STAT", CPop3Command::Verb::Stat},
    {"LIST", CPop3Command::Verb::List}, {"RETR", CPop3Command::Verb::Retr}, {"DELE", CPop3Command::Verb::Dele},
    {"NOOP", CPop3Command::Verb::Noop}, {"RSET", CPop3Command::Verb::Rset}, {"QUIT", CPop3Command::Verb::Quit},
    {"UIDL", CPop3Command::Verb::Uidl}, {"TOP", CPop3Command::Verb::Top},   {"CAPA", CPop3Command::Verb::Capa},
    {"APOP", CPop3Command::Verb::Apop}, {"AUTH", CPop3Command::Verb::Auth}, {"STLS", CPop3Command::Verb::Stls},
};

// More than any command takes; the rest of such a line is not looked at.
constexpr std::size_t kMaxArguments = 3;

}  // namespace

CPop3Command CPop3Command::Parse(const std::string& line) {
    CPop3Command command;
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            command.malformed = true;
            return command;
        }
    }
    const std::size_t keywordEnd = line.find(' ');
    const std::string keyword = line.substr(0, keywordEnd);
    for (const Keyword& known : kKeywords)
        if (EqualsNoCase(keyword, known.text)) command.verb = known.verb;
    if (keywordEnd == std::string::npos) return command;
    command.rest = line.substr(keywordEnd + 1);
    std::size_t at = keywordEnd;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at >= line.size()) break;
        const std::size_t end = line.find(' ', at);
        if (command.arguments.size() == kMaxArguments) {
            command.malformed = true;
            break;
        }
        command.arguments.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? line.size() : end;
    }
    return command;
}

std::optional<long> CPop3Command::Number(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1) return std::nullopt;
    return value;
}
