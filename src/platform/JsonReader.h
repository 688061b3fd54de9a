// JsonReader: a bounded JSON (RFC 8259) parser for the small replies of
// helper services (the spam filter's verdict).
//
// The text comes from another process over the network and is trusted in
// nothing: the caller bounds its length, and the reader bounds the nesting
// depth and the number of values, so a hostile reply costs at most a few
// times its own size in memory and never recurses deeply. Strings are
// decoded (escapes, surrogate pairs) to UTF-8; a lone surrogate becomes
// U+FFFD. Numbers are kept as doubles. Anything that is not exactly one
// JSON value (with white space around it) is refused as a whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonReader {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // One parsed value. An array's values are its items; an object's
    // members are keys[i] with items[i], in their order (a repeated name
    // keeps both, Find sees the first).
    struct Value {
        Type type = Type::Null;
        bool boolean = false;
        double number = 0;
        std::string text;
        std::vector<Value> items;
        std::vector<std::string> keys;  // Object

        // The member called name of an object; null for anything else.
        const Value* Find(std::string_view name) const;
        bool IsString() const { return type == Type::String; }
        bool IsNumber() const { return type == Type::Number; }
    };

    static constexpr std::size_t kMaxDepth = 32;
    static constexpr std::size_t kMaxValues = 20000;

    // The value the text holds, or none when it is not well-formed JSON or
    // passes the bounds.
    static std::optional<Value> Parse(std::string_view text);

private:
    explicit JsonReader(std::string_view text) : text(text) {}
    bool ParseValue(Value& value, std::size_t depth);
    bool ParseString(std::string& out);
    bool ParseNumber(double& out);
    bool ParseLiteral(std::string_view word);
    void SkipSpace();

    std::string_view text;
    std::size_t at = 0;
    std::size_t values = 0;
};
