// CSmtpCommand: verb and argument of a command line.
#include "CSmtpCommand.h"

#include "platform/Text.h"

namespace {

bool IsPrintableLine(std::string_view line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) return false;
    }
    return true;
}

struct Name {
    const char* text;
    CSmtpCommand::Verb verb;
};

constexpr Name kNames[] = {
    {"HELO", CSmtpCommand::Verb::Helo},           {"EHLO", CSmtpCommand::Verb::Ehlo},
    {"MAIL", CSmtpCommand::Verb::Mail},           {"RCPT", CSmtpCommand::Verb::Rcpt},
    {"DATA", CSmtpCommand::Verb::Data},           {"RSET", CSmtpCommand::Verb::Rset},
    {"NOOP", CSmtpCommand::Verb::Noop},           {"VRFY", CSmtpCommand::Verb::Vrfy},
    {"HELP", CSmtpCommand::Verb::Help},           {"EXPN", CSmtpCommand::Verb::Expn},
    {"QUIT", CSmtpCommand::Verb::Quit},           {"STARTTLS", CSmtpCommand::Verb::Starttls},
    {"AUTH", CSmtpCommand::Verb::Auth}, {"BDAT", CSmtpCommand::Verb::NotImplemented},
    {"ETRN", CSmtpCommand::Verb::NotImplemented}, {"TURN", CSmtpCommand::Verb::NotImplemented},
};

}  // namespace

CSmtpCommand CSmtpCommand::Parse(std::string_view line) {
    CSmtpCommand command;
    if (!IsPrintableLine(line)) return command;
    const std::size_t space = line.find(' ');
    const std::string verb(line.substr(0, space));
    if (space != std::string_view::npos) command.argument.assign(line.substr(space + 1));
    command.verb = Verb::Unknown;
    for (const Name& name : kNames) {
        if (EqualsNoCase(verb, name.text)) {
            command.verb = name.verb;
            break;
        }
    }
    return command;
}

bool CSmtpCommand::IsIdle() const {
    switch (verb) {
        case Verb::Helo:
        case Verb::Ehlo:
        case Verb::Rset:
        case Verb::Noop:
        case Verb::Vrfy:
        case Verb::Help:
        case Verb::Expn:
        case Verb::Starttls:
        case Verb::Auth:
            return true;
        default:
            return false;
    }
}
