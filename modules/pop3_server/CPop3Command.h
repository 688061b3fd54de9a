// CPop3Command: one POP3 command line taken apart.
//
// The keyword is matched without regard to case; arguments are split at
// single or repeated spaces. A line with a control character (a NUL byte
// among them) or more arguments than any command takes is malformed.
// Message numbers are decimal digits only, at most nine of them, so no
// conversion can overflow.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ModuleVisibility.h"

class MODULE_LOCAL CPop3Command {
public:
    enum class Verb {
        Unknown,
        User,
        Pass,
        Stat,
        List,
        Retr,
        Dele,
        Noop,
        Rset,
        Quit,
        Uidl,
        Top,
        Capa,
        Apop,
        Auth,
        Stls
    };

    static CPop3Command Parse(const std::string& line);
    // A positive message number, or nothing for anything else.
    static std::optional<long> Number(const std::string& text);

    Verb GetVerb() const { return verb; }
    bool IsMalformed() const { return malformed; }
    const std::vector<std::string>& Arguments() const { return arguments; }
    // PASS keeps its argument whole: a password may contain spaces.
    const std::string& Rest() const { return rest; }

private:
    Verb verb = Verb::Unknown;
    bool malformed = false;
    std::vector<std::string> arguments;
    std::string rest;
};
