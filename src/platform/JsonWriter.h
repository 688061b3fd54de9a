// JsonWriter: one JSON text built in memory, for replies that scripts and
// monitors read (`velmora status --json`).
//
// Strings come from the settings, the database and remote servers, so they
// may hold anything: quotes, backslashes and control characters are escaped,
// and bytes that are not well-formed UTF-8 (stray continuation bytes,
// overlong forms, surrogates, values past U+10FFFF, cut sequences) each
// become U+FFFD, so the text always parses. The caller keeps the nesting
// right; the writer only places the commas and colons.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The name of the next member of the open object.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view value);
    JsonWriter& Number(std::int64_t value);
    JsonWriter& Unsigned(std::uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    const std::string& Text() const { return text; }

    // value as a JSON string, quotes included.
    static std::string Quote(std::string_view value);

private:
    // The comma before a value or key that is not the first of its container.
    void Separate();
    void Open(char bracket);
    void Close(char bracket);

    std::string text;
    std::vector<bool> hasMembers;  // per open container
    bool afterKey = false;
};
