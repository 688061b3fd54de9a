// CImapCommandParser: one IMAP command taken apart (tag, command name,
// arguments), and the pieces the session needs before and after: the
// literal announced at a line's end and sequence sets.
//
// The session hands Parse the whole command as it arrived: its lines with
// "{n}" CR LF and the n literal bytes in place. Arguments are atoms, quoted
// strings, literals and parenthesised lists (nested at most kMaxDepth). An
// atom may hold a bracketed part with spaces and parentheses in it, as
// BODY[HEADER.FIELDS (FROM TO)]<0.100> does. A NUL byte outside a literal,
// a control character in an atom, an unterminated quote or list, or more
// than kMaxArguments values make the command malformed (the session answers
// BAD); nothing here touches the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ModuleVisibility.h"

struct MODULE_LOCAL CImapValue {
    enum class Kind { Atom, String, List };
    Kind kind = Kind::Atom;
    std::string text;               // atom text or the string's bytes
    std::vector<CImapValue> items;  // a list's values
    bool literal = false;           // the string came as a literal

    bool IsAtom() const { return kind == Kind::Atom; }
    bool IsList() const { return kind == Kind::List; }
    // An atom or a string: what a mailbox name or a search string may be.
    bool IsAString() const { return kind != Kind::List; }
    bool IsNil() const;
};

class MODULE_LOCAL CImapCommandParser {
public:
    // A command line outside its literals.
    static constexpr std::size_t kMaxLine = 8 * 1024;
    static constexpr unsigned kMaxDepth = 16;
    static constexpr std::size_t kMaxArguments = 4096;

    struct Command {
        std::string tag;   // empty when not even a tag could be read
        std::string name;  // upper case
        std::vector<CImapValue> arguments;
        std::string error;  // empty when well formed
        bool Ok() const { return error.empty(); }
    };
    static Command Parse(std::string_view text);

    // The literal a line ends with: "{n}" or "{n+}" (RFC 7888).
    struct Literal {
        std::uint64_t size = 0;
        bool nonSynchronizing = false;
    };
    static std::optional<Literal> TrailingLiteral(std::string_view line);

    // A sequence set: ranges of numbers in either order, kStar for "*".
    static constexpr std::uint32_t kStar = 0;
    using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    static std::optional<Ranges> SequenceSet(std::string_view text);

    // The tag of a line that may not parse, for the BAD answer ("*" if none).
    static std::string TagOf(std::string_view text);
};
