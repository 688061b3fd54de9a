// FilterVerdict: what the filter phase decides about one received message,
// before the SMTP server answers its end of data.
//
// Accept and Junk may bring header lines to put on top of the stored
// message; Refuse and Defer bring the reply (code and text) the client gets,
// so refused mail is refused while the sender can still be told, never
// bounced. Discard answers 250 and keeps nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class FilterVerdict {
public:
    enum class Action { Accept, Junk, Refuse, Defer, Discard };

    static FilterVerdict Accepted() { return FilterVerdict(Action::Accept, 250, ""); }
    static FilterVerdict Refused(std::string text) { return FilterVerdict(Action::Refuse, 550, std::move(text)); }
    static FilterVerdict Deferred(std::string text) { return FilterVerdict(Action::Defer, 451, std::move(text)); }

    FilterVerdict(Action action, int code, std::string text) : action(action), code(code), text(std::move(text)) {}

    // Adds "Name: value" as a header line (CR LF added) when both are clean:
    // a field name of printable ASCII without ':' and a value without CR,
    // LF or NUL (RFC 5322 2.2). False, and nothing added, otherwise: a
    // backend's text must never end a header early or start a new one.
    bool AddHeader(std::string_view name, std::string_view value);
    // The lines in the order added, each ending in CR LF.
    std::string HeaderBlock() const;

    // A reply text a client may be shown: printable ASCII only, others as
    // '?', at most maxLength bytes.
    static std::string CleanReplyText(std::string_view text, std::size_t maxLength = 200);

    Action action;
    int code;          // the reply for Refuse and Defer
    std::string text;  // its text, enhanced status code first
    std::vector<std::string> headerLines;
};
