// CSmtpCommand: one command line of a client, split into its verb and its
// argument.
//
// The verb is the text before the first blank, without regard to case; the
// argument is everything after that blank. A line with control characters
// (other than TAB) is no command at all: it is never looked at further.
#pragma once

#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CSmtpCommand {
public:
    enum class Verb {
        Helo,
        Ehlo,
        Mail,
        Rcpt,
        Data,
        Rset,
        Noop,
        Vrfy,
        Help,
        Expn,
        Quit,
        Starttls,
        Auth,
        NotImplemented,  // known, but not offered here (BDAT, ETRN, TURN)
        Unknown,
        Malformed,  // control characters in the line
    };

    static CSmtpCommand Parse(std::string_view line);

    Verb GetVerb() const { return verb; }
    const std::string& Argument() const { return argument; }
    // Commands that do not move a mail transaction on; a client may send only
    // so many of them in a row.
    bool IsIdle() const;

private:
    Verb verb = Verb::Malformed;
    std::string argument;
};
