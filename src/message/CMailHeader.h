// CMailHeader: a message header as a map from field name to field value.
//
// Every component that looks at a header (routing, delivery, notices,
// forwarding, the outbound queue, MIME decoding, remote-mail download) reads
// it through this class. Names are upper-cased when parsed with case folding,
// so look-ups ignore case; a field met several times is held once with its
// values joined, topmost first, by CR LF TAB. Fields keep the order in which
// the message first named them, so a rewritten header (Format) goes out to
// other servers and mail readers in the message's own order.
//
// Works on raw 8-bit header bytes with CRLF line ends; no decoding of
// encoded words, no address-list parsing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CMailHeader {
public:
    // At most this many bytes of names and values are kept from parsed text.
    // Real headers are a few kilobytes, long relay chains some tens; the cap
    // only stops a hostile message from filling memory. Lines beyond it are
    // still read (so the end of the header is found) but their text is dropped.
    static constexpr std::size_t kMaxHeldBytes = 1024 * 1024;

    CMailHeader() = default;
    // Constructs and parses text with case folding (the result is dropped).
    CMailHeader(const char* text, std::size_t length);
    virtual ~CMailHeader() = default;

    CMailHeader(const CMailHeader&) = default;
    CMailHeader& operator=(const CMailHeader&) = default;

    // Adds the header lines of the first length bytes of text (which may run
    // on into the body) to the map. caseSensitive false upper-cases names.
    // Returns -1 when a line without a colon ended the parse (the blank line
    // after a header does), when a NUL byte was met, or when the text holds no
    // complete line; otherwise the count of bytes after the last LF, which
    // were not parsed (the start of an unfinished line; 0 when the text ends
    // with a complete line).
    int Parse(const char* text, std::size_t length, bool caseSensitive);

    // The value held for the name, or "". With caseSensitive false the name is
    // upper-cased first (matching a header parsed with folding).
    std::string GetField(std::string_view name, bool caseSensitive = false) const;
    // How many times the field stands in the header (repeated fields are
    // kept joined by CR LF TAB, as a folded line is); 1 when it is absent.
    int Occurrences(std::string_view name) const;
    // The text after the first ';' of GetField(name), untrimmed; "" without one.
    std::string GetFieldParameters(std::string_view name) const;
    // Stores value under name exactly as given (no folding, no joining),
    // replacing a value held under that exact key.
    void SetField(std::string_view name, std::string_view value);
    // "Name: value\r\n" for each field, then "\r\n"; an empty map gives "\r\n\r\n".
    std::string Format() const;

    bool IsEmpty() const { return fields.empty(); }
    std::size_t FieldCount() const { return fields.size(); }

    // Removes leading and trailing white space (space, TAB, CR, LF, VT, FF)
    // in place; returns text.
    static char* TrimBlanks(char* text);
    static std::string_view TrimBlanks(std::string_view text);

private:
    struct Field {
        std::string name;
        std::string value;
    };

    Field* Find(const std::string& name);
    const Field* Find(const std::string& name) const;
    void ParseLine(std::string_view line, bool caseSensitive);

    std::vector<Field> fields;                           // in order of first appearance
    std::unordered_map<std::string, std::size_t> index;  // exact name -> position
    std::string lastFieldName;                           // where continuation lines attach
    bool lastFieldDropped = false;                       // continuations of a dropped line are dropped too
    std::size_t heldBytes = 0;
};
