// JsonReader: the bounded recursive-descent parser.
#include "platform/JsonReader.h"

#include <charconv>
#include <cmath>

namespace {

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

const JsonReader::Value* JsonReader::Value::Find(std::string_view name) const {
    if (type != Type::Object) return nullptr;
    for (std::size_t i = 0; i < keys.size() && i < items.size(); ++i)
        if (keys[i] == name) return &items[i];
    return nullptr;
}

std::optional<JsonReader::Value> JsonReader::Parse(std::string_view text) {
    JsonReader reader(text);
    Value value;
    reader.SkipSpace();
    if (!reader.ParseValue(value, 0)) return std::nullopt;
    reader.SkipSpace();
    if (reader.at != text.size()) return std::nullopt;
    return value;
}

void JsonReader::SkipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
}

bool JsonReader::ParseLiteral(std::string_view word) {
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
}

bool JsonReader::ParseValue(Value& value, std::size_t depth) {
    if (depth > kMaxDepth || ++values > kMaxValues || at >= text.size()) return false;
    const char c = text[at];
    if (c == '{') {
        value.type = Type::Object;
        ++at;
        SkipSpace();
        if (at < text.size() && text[at] == '}') return ++at, true;
        for (;;) {
            SkipSpace();
            std::string name;
            if (at >= text.size() || text[at] != '"' || !ParseString(name)) return false;
            SkipSpace();
            if (at >= text.size() || text[at] != ':') return false;
            ++at;
            SkipSpace();
            Value member;
            if (!ParseValue(member, depth + 1)) return false;
            value.keys.push_back(std::move(name));
            value.items.push_back(std::move(member));
            SkipSpace();
            if (at >= text.size()) return false;
            if (text[at] == '}') return ++at, true;
            if (text[at] != ',') return false;
            ++at;
        }
    }
    if (c == '[') {
        value.type = Type::Array;
        ++at;
        SkipSpace();
        if (at < text.size() && text[at] == ']') return ++at, true;
        for (;;) {
            SkipSpace();
            Value item;
            if (!ParseValue(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
            SkipSpace();
            if (at >= text.size()) return false;
            if (text[at] == ']') return ++at, true;
            if (text[at] != ',') return false;
            ++at;
        }
    }
    if (c == '"') {
        value.type = Type::String;
        return ParseString(value.text);
    }
    if (c == 't' || c == 'f') {
        value.type = Type::Bool;
        value.boolean = c == 't';
        return ParseLiteral(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
        value.type = Type::Null;
        return ParseLiteral("null");
    }
    value.type = Type::Number;
    return ParseNumber(value.number);
}

bool JsonReader::ParseString(std::string& out) {
    ++at;  // the opening quote
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at >= text.size()) return false;
        const char e = text[at++];
        switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                auto hex4 = [this](unsigned long& code) {
                    if (at + 4 > text.size()) return false;
                    code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int d = HexDigit(text[at + i]);
                        if (d < 0) return false;
                        code = code * 16 + static_cast<unsigned long>(d);
                    }
                    at += 4;
                    return true;
                };
                unsigned long code = 0;
                if (!hex4(code)) return false;
                if (code >= 0xD800 && code < 0xDC00 && text.substr(at, 2) == "\\u") {
                    const std::size_t mark = at;
                    at += 2;
                    unsigned long low = 0;
                    if (!hex4(low)) return false;
                    if (low >= 0xDC00 && low < 0xE000)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    else
                        at = mark;  // not a pair: the high half stands alone
                }
                if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;
                AppendUtf8(out, code);
                break;
            }
            default:
                return false;
        }
    }
    return false;
}

bool JsonReader::ParseNumber(double& out) {
    const std::size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    auto digits = [this] {
        const std::size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - from;
    };
    const std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && text[at - whole] == '0')) return false;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (digits() == 0) return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (digits() == 0) return false;
    }
    // from_chars: the same number whatever the process's locale says.
    const auto result = std::from_chars(text.data() + start, text.data() + at, out);
    if (result.ec == std::errc::result_out_of_range) {
        // Past what a double holds: infinity, or zero for a tiny one.
        const std::string_view number = text.substr(start, at - start);
        const std::size_t e = number.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
        out = tiny ? 0.0 : (number[0] == '-' ? -HUGE_VAL : HUGE_VAL);
        return true;
    }
    return result.ec == std::errc();
}
