// CMailHeader: header parsing, look-up and formatting (see the header file).
//
// Parse works on a view of the caller's block and never copies it: the
// caller's block is already bounded, and what is kept is bounded by
// kMaxHeldBytes.
#include "message/CMailHeader.h"

#include <algorithm>
#include <climits>

#include "platform/Text.h"

CMailHeader::CMailHeader(const char* text, std::size_t length) {
    Parse(text, length, false);
}

std::string_view CMailHeader::TrimBlanks(std::string_view text) {
    return Trim(text);
}

char* CMailHeader::TrimBlanks(char* text) {
    if (!text) return text;
    std::string_view all(text);
    std::string_view kept = TrimBlanks(all);
    // A value of white space only becomes empty: callers test for "".
    std::copy(kept.begin(), kept.end(), text);
    text[kept.size()] = '\0';
    return text;
}

CMailHeader::Field* CMailHeader::Find(const std::string& name) {
    auto it = index.find(name);
    return it == index.end() ? nullptr : &fields[it->second];
}

const CMailHeader::Field* CMailHeader::Find(const std::string& name) const {
    auto it = index.find(name);
    return it == index.end() ? nullptr : &fields[it->second];
}

int CMailHeader::Parse(const char* text, std::size_t length, bool caseSensitive) {
    if (!text || length == 0) return -1;
    std::string_view all(text, length);
    // A NUL ends the parse like a malformed line. Reporting it as -1 (rather
    // than as an unfinished line) keeps a caller that refills on a positive
    // count from looping on the same bytes.
    const std::size_t nul = all.find('\0');
    const bool metNul = nul != std::string_view::npos;
    if (metNul) all = all.substr(0, nul);

    std::size_t pos = 0;
    bool tookLine = false;
    for (;;) {
        const std::size_t lf = all.find('\n', pos);
        if (lf == std::string_view::npos) break;
        std::string_view line = all.substr(pos, lf - pos);
        pos = lf + 1;
        tookLine = true;
        if (line.empty()) return -1;
        const char first = line.front();
        if (first == ' ' || first == '\t' || first == '\v' || first == '\f') {
            ParseLine(line, caseSensitive);
            continue;
        }
        if (line.find(':') == std::string_view::npos) return -1;
        ParseLine(line, caseSensitive);
    }
    if (metNul || !tookLine) return -1;
    return static_cast<int>(std::min<std::size_t>(all.size() - pos, INT_MAX));
}

// One line that is either a folded continuation or holds a colon.
void CMailHeader::ParseLine(std::string_view line, bool caseSensitive) {
    const char first = line.front();
    if (first == ' ' || first == '\t' || first == '\v' || first == '\f') {
        if (lastFieldDropped || lastFieldName.empty()) return;
        Field* field = Find(lastFieldName);
        if (!field) return;
        // Like a field line, a continuation ends at its first CR: a stray CR
        // inside a value would be written out as a broken header line.
        std::string_view piece = TrimBlanks(line.substr(0, line.find('\r')));
        if (heldBytes + piece.size() > kMaxHeldBytes) {
            lastFieldDropped = true;
            return;
        }
        // Folded pieces run together without a separator.
        field->value.append(piece);
        heldBytes += piece.size();
        return;
    }

    const std::size_t colon = line.find(':');
    std::string name(TrimBlanks(line.substr(0, colon)));
    std::string_view rest = line.substr(colon + 1);
    rest = rest.substr(0, rest.find('\r'));
    const std::string_view value = TrimBlanks(rest);

    // ": value" names nothing; it is skipped rather than stored under "",
    // which Format would write out as a malformed line.
    if (name.empty()) {
        lastFieldName.clear();
        lastFieldDropped = true;
        return;
    }
    if (!caseSensitive) name = UpperCase(std::move(name));
    lastFieldName = name;
    lastFieldDropped = false;

    if (Field* field = Find(name)) {
        const std::size_t added = 3 + value.size();
        if (heldBytes + added > kMaxHeldBytes) {
            lastFieldDropped = true;
            return;
        }
        field->value.append("\r\n\t");
        field->value.append(value);
        heldBytes += added;
        return;
    }
    const std::size_t added = name.size() + value.size();
    if (heldBytes + added > kMaxHeldBytes) {
        lastFieldDropped = true;
        return;
    }
    index.emplace(name, fields.size());
    fields.push_back(Field{std::move(name), std::string(value)});
    heldBytes += added;
}

std::string CMailHeader::GetField(std::string_view name, bool caseSensitive) const {
    if (fields.empty()) return {};
    std::string key(name);
    if (!caseSensitive) key = UpperCase(std::move(key));
    const Field* field = Find(key);
    return field ? field->value : std::string();
}

int CMailHeader::Occurrences(std::string_view name) const {
    const std::string value = GetField(name, false);
    int count = 1;
    for (std::size_t at = value.find("\r\n\t"); at != std::string::npos; at = value.find("\r\n\t", at + 3)) ++count;
    return count;
}

std::string CMailHeader::GetFieldParameters(std::string_view name) const {
    const std::string value = GetField(name, false);
    const std::size_t semicolon = value.find(';');
    if (semicolon == std::string::npos) return {};
    return value.substr(semicolon + 1);
}

void CMailHeader::SetField(std::string_view name, std::string_view value) {
    std::string key(name);
    if (Field* field = Find(key)) {
        heldBytes = heldBytes - field->value.size() + value.size();
        field->value.assign(value);
        return;
    }
    heldBytes += key.size() + value.size();
    index.emplace(key, fields.size());
    fields.push_back(Field{std::move(key), std::string(value)});
}

std::string CMailHeader::Format() const {
    if (fields.empty()) return "\r\n\r\n";
    std::size_t size = 2;
    for (const Field& field : fields) size += field.name.size() + field.value.size() + 4;
    std::string text;
    text.reserve(size);
    for (const Field& field : fields) {
        text += field.name;
        text += ": ";
        text += field.value;
        text += "\r\n";
    }
    text += "\r\n";
    return text;
}
