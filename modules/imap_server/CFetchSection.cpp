// CFetchSection: the section grammar of BODY[...] read strictly, so that a
// malformed section is a BAD answer and never a guess, and the name a
// FETCH response gives the section back.
#include "CFetchSection.h"

#include "platform/Text.h"

namespace {

constexpr std::size_t kMaxLevels = 32;
constexpr std::size_t kMaxFields = 64;
constexpr std::size_t kMaxFieldName = 256;

// RFC 3501 ATOM-CHAR, plus ']' (ASTRING-CHAR); the brackets' content never
// holds the closing one, the session cut it off.
bool IsAtomChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x1f || u >= 0x7f) return false;
    switch (c) {
        case '(':
        case ')':
        case '{':
        case ' ':
        case '%':
        case '*':
        case '"':
        case '\\':
            return false;
        default:
            return true;
    }
}

// A decimal number that fits 32 bits; at least one digit.
bool ReadNumber(std::string_view text, std::size_t& at, std::uint32_t& value) {
    const std::size_t start = at;
    std::uint64_t n = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        n = n * 10 + static_cast<unsigned>(text[at] - '0');
        if (n > 0xffffffffULL) return false;
        ++at;
    }
    value = static_cast<std::uint32_t>(n);
    return at > start;
}

// One header-fld-name: an atom or a quoted string, upper-cased. Names a
// header could not hold (empty, a colon, controls, 8-bit) are refused.
bool ReadFieldName(std::string_view text, std::size_t& at, std::string& name) {
    name.clear();
    if (at < text.size() && text[at] == '"') {
        ++at;
        while (true) {
            if (at >= text.size()) return false;
            char c = text[at++];
            if (c == '"') break;
            if (c == '\\') {
                if (at >= text.size()) return false;
                c = text[at++];
                if (c != '"' && c != '\\') return false;
            }
            name.push_back(c);
            if (name.size() > kMaxFieldName) return false;
        }
    } else {
        while (at < text.size() && IsAtomChar(text[at])) {
            name.push_back(text[at++]);
            if (name.size() > kMaxFieldName) return false;
        }
    }
    if (name.empty()) return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == ':') return false;
    }
    name = UpperCase(std::move(name));
    return true;
}

// A field name as an astring: an atom when it is one, else quoted.
std::string AstringText(const std::string& name) {
    bool atom = !name.empty();
    for (char c : name) atom = atom && IsAtomChar(c) && c != ']';
    if (atom) return name;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

}  // namespace

std::optional<CFetchSection> CFetchSection::Parse(std::string_view text, std::string_view partialText) {
    CFetchSection section;
    std::size_t at = 0;
    // The part path: nz-numbers joined by dots, possibly followed by ".TEXTSPEC".
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        std::uint32_t number = 0;
        if (!ReadNumber(text, at, number) || number == 0) return std::nullopt;
        if (section.part.size() >= kMaxLevels) return std::nullopt;
        section.part.push_back(number);
        if (at == text.size()) break;
        if (text[at] != '.') return std::nullopt;
        ++at;
        if (at == text.size()) return std::nullopt;  // "1."
    }
    if (at < text.size()) {
        const std::string_view rest = text.substr(at);
        const auto keyword = [&](std::string_view word) {
            return rest.size() >= word.size() && EqualsNoCase(rest.substr(0, word.size()), word);
        };
        std::size_t listAt = std::string_view::npos;
        if (keyword("HEADER.FIELDS.NOT")) {
            section.text = Text::HeaderFieldsNot;
            listAt = 17;
        } else if (keyword("HEADER.FIELDS")) {
            section.text = Text::HeaderFields;
            listAt = 13;
        } else if (rest.size() == 6 && keyword("HEADER")) {
            section.text = Text::Header;
        } else if (rest.size() == 4 && keyword("TEXT")) {
            section.text = Text::Text;
        } else if (rest.size() == 4 && keyword("MIME") && !section.part.empty()) {
            section.text = Text::Mime;
        } else {
            return std::nullopt;
        }
        if (listAt != std::string_view::npos) {
            // SP "(" name *(SP name) ")" and nothing after it.
            std::size_t i = listAt;
            if (i + 1 >= rest.size() || rest[i] != ' ' || rest[i + 1] != '(') return std::nullopt;
            i += 2;
            while (true) {
                if (section.fields.size() >= kMaxFields) return std::nullopt;
                std::string name;
                if (!ReadFieldName(rest, i, name)) return std::nullopt;
                section.fields.push_back(std::move(name));
                if (i >= rest.size()) return std::nullopt;
                if (rest[i] == ')') break;
                if (rest[i] != ' ') return std::nullopt;
                ++i;
            }
            if (i + 1 != rest.size()) return std::nullopt;
        }
    }
    if (!partialText.empty()) {
        std::size_t i = 0;
        std::uint32_t origin = 0;
        std::uint32_t length = 0;
        if (!ReadNumber(partialText, i, origin) || i >= partialText.size() || partialText[i] != '.')
            return std::nullopt;
        ++i;
        if (!ReadNumber(partialText, i, length) || i != partialText.size() || length == 0) return std::nullopt;
        section.partial = true;
        section.origin = origin;
        section.length = length;
    }
    return section;
}

std::string CFetchSection::ResponseName() const {
    std::string name = "BODY[";
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (i) name.push_back('.');
        name += std::to_string(part[i]);
    }
    const char* word = nullptr;
    switch (text) {
        case Text::All:
            break;
        case Text::Header:
            word = "HEADER";
            break;
        case Text::HeaderFields:
            word = "HEADER.FIELDS";
            break;
        case Text::HeaderFieldsNot:
            word = "HEADER.FIELDS.NOT";
            break;
        case Text::Text:
            word = "TEXT";
            break;
        case Text::Mime:
            word = "MIME";
            break;
    }
    if (word) {
        if (!part.empty()) name.push_back('.');
        name += word;
    }
    if (text == Text::HeaderFields || text == Text::HeaderFieldsNot) {
        name += " (";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i) name.push_back(' ');
            name += AstringText(fields[i]);
        }
        name.push_back(')');
    }
    name.push_back(']');
    if (partial) name += "<" + std::to_string(origin) + ">";
    return name;
}
