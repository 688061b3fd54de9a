// SettingsFile: parser and writer of the REGEDIT4-form settings file.
// A malformed line makes the whole parse fail with its line number: a
// settings file is never half-read, and so never half-rewritten.
#include "platform/SettingsFile.h"
#include "platform/Text.h"

#include <cstdio>

namespace {

constexpr const char* kRoot = "HKEY_LOCAL_MACHINE";
// The registry's own limits: a key name of 255 characters, a value name of
// 16383.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

std::string ControlProblem(const std::string& text) {
    for (char c : text) {
        if (!IsControl(c)) continue;
        if (c == '\n' || c == '\r') return "holds a line break";
        char buf[48];
        std::snprintf(buf, sizeof buf, "holds the control character 0x%02x", static_cast<unsigned char>(c));
        return buf;
    }
    return "";
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Reads a quoted string starting at text[pos] == '"'; pos ends after the
// closing quote. Returns false on a missing quote or an unknown escape.
bool ReadQuoted(const std::string& text, std::size_t& pos, std::string& out, std::string& why) {
    ++pos;
    out.clear();
    while (pos < text.size()) {
        char c = text[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= text.size()) break;
        char e = text[pos++];
        switch (e) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '0':
                out += '\0';
                break;
            default:
                why = std::string("unknown escape \\") + e;
                return false;
        }
    }
    if (why.empty()) why = "missing closing quote";
    return false;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string SettingsFile::KeyPathProblem(const std::string& key) {
    if (key.empty()) return "is empty";
    std::string why = ControlProblem(key);
    if (!why.empty()) return why;
    // "]" ends the key's header line.
    if (key.find(']') != std::string::npos) return "holds \"]\"";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = key.find('\\', start);
        const std::size_t length = (end == std::string::npos ? key.size() : end) - start;
        if (length == 0) return "has an empty key name (a \"\\\" at an end or doubled)";
        if (length > kMaxKeyName) return "has a key name longer than " + std::to_string(kMaxKeyName) + " bytes";
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

std::string SettingsFile::ValueNameProblem(const std::string& name) {
    if (name.size() > kMaxValueName) return "is longer than " + std::to_string(kMaxValueName) + " bytes";
    return ControlProblem(name);
}

std::string SettingsFile::ValueProblem(const std::string& key, const Value& value) {
    std::string why = KeyPathProblem(key);
    if (!why.empty()) return "the key " + why;
    why = ValueNameProblem(value.name);
    if (!why.empty()) return "the value name " + why;
    if (value.type == kDword && value.data.size() != 4) return "a dword is 4 bytes";
    // hex(N) reads back types up to 0xffff.
    if (value.type > 0xffff) return "the value type is above 0xffff";
    return "";
}

std::string SettingsFile::FormatValueLine(const Value& value) {
    std::string line = value.name.empty() ? "@" : Quote(value.name);
    line += '=';
    if (value.type == kDword) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4 && i < value.data.size(); ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i])) << (8 * i);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        line += buf;
    } else if (value.type == kString) {
        line += Quote(value.data);
    } else {
        char buf[8];
        if (value.type == kBinary) {
            line += "hex:";
        } else {
            std::snprintf(buf, sizeof buf, "%x", value.type);
            line += std::string("hex(") + buf + "):";
        }
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned char>(value.data[i]));
            line += buf;
        }
    }
    return line;
}

bool SettingsFile::Parse(const std::string& text) {
    SettingsFile parsed;
    std::vector<std::string> physical;
    {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t nl = text.find('\n', start);
            std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            physical.push_back(line);
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
    }
    int current = -1;
    auto fail = [&](std::size_t lineNo, const std::string& why) {
        error = "line " + std::to_string(lineNo) + ": " + why;
        errorLine = static_cast<int>(lineNo);
        return false;
    };
    for (std::size_t i = 0; i < physical.size(); ++i) {
        const std::size_t lineNo = i + 1;
        std::string raw = physical[i];
        std::string t(Trim(raw));
        Line line;
        line.text = raw;
        line.section = current;
        if (t.empty() || t[0] == ';' || t[0] == '#' ||
            (parsed.lines.empty() && (t == "REGEDIT4" || t.rfind("Windows Registry Editor", 0) == 0))) {
            parsed.lines.push_back(line);
            continue;
        }
        if (t[0] == '[') {
            if (t.back() != ']') return fail(lineNo, "key header without closing ']'");
            std::string path = t.substr(1, t.size() - 2);
            std::string root = kRoot;
            if (FoldCase(path.substr(0, root.size())) != FoldCase(root))
                return fail(lineNo, "only keys under HKEY_LOCAL_MACHINE are kept here");
            path = path.substr(root.size());
            if (!path.empty() && path[0] != '\\') return fail(lineNo, "malformed key path");
            if (!path.empty()) path.erase(0, 1);
            while (!path.empty() && path.back() == '\\') path.pop_back();
            if (path.empty()) return fail(lineNo, "empty key path");
            int s = parsed.FindSection(path);
            if (s < 0) {
                parsed.sections.push_back({path});
                s = static_cast<int>(parsed.sections.size()) - 1;
            }
            current = s;
            line.section = s;
            line.isHeader = true;
            parsed.lines.push_back(line);
            continue;
        }
        if (t[0] != '"' && t[0] != '@') return fail(lineNo, "expected a [key], a \"value\"=... line or a ; comment");
        if (current < 0) return fail(lineNo, "value before the first [key] line");
        Value v;
        std::size_t pos = 0;
        std::string why;
        if (t[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(t, pos, v.name, why)) {
            return fail(lineNo, why);
        }
        while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
        if (pos >= t.size() || t[pos] != '=') return fail(lineNo, "expected '=' after the value name");
        ++pos;
        while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
        std::string rest = t.substr(pos);
        if (!rest.empty() && rest[0] == '"') {
            std::size_t p = 0;
            if (!ReadQuoted(rest, p, v.data, why)) return fail(lineNo, why);
            if (!Trim(rest.substr(p)).empty()) return fail(lineNo, "text after the closing quote");
            v.type = kString;
        } else if (FoldCase(rest.substr(0, 6)) == "dword:") {
            std::string digits(Trim(rest.substr(6)));
            if (digits.empty() || digits.size() > 8) return fail(lineNo, "a dword needs 1 to 8 hexadecimal digits");
            std::uint32_t n = 0;
            for (char c : digits) {
                if (!IsHex(c)) return fail(lineNo, "a dword needs hexadecimal digits");
                n = n * 16 + static_cast<std::uint32_t>(HexValue(c));
            }
            v.type = kDword;
            v.data.assign(4, '\0');
            for (int k = 0; k < 4; ++k) v.data[k] = static_cast<char>((n >> (8 * k)) & 0xff);
        } else if (FoldCase(rest.substr(0, 3)) == "hex") {
            std::size_t colon = rest.find(':');
            if (colon == std::string::npos) return fail(lineNo, "hex value without ':'");
            std::string kind = rest.substr(3, colon - 3);
            v.type = kBinary;
            if (!kind.empty()) {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                    return fail(lineNo, "malformed hex(type)");
                unsigned type = 0;
                for (std::size_t k = 1; k + 1 < kind.size(); ++k) {
                    if (!IsHex(kind[k])) return fail(lineNo, "malformed hex(type)");
                    type = type * 16 + static_cast<unsigned>(HexValue(kind[k]));
                    if (type > 0xffff) return fail(lineNo, "malformed hex(type)");
                }
                v.type = type;
            }
            std::string bytes = rest.substr(colon + 1);
            // Continuation lines end with a backslash.
            while (!Trim(bytes).empty() && Trim(bytes).back() == '\\') {
                bytes = std::string(Trim(bytes));
                bytes.pop_back();
                if (i + 1 >= physical.size()) return fail(lineNo, "hex value continues past the end of the file");
                ++i;
                line.text += "\n" + physical[i];
                bytes += Trim(physical[i]);
            }
            std::string item;
            auto flush = [&]() {
                std::string h(Trim(item));
                item.clear();
                if (h.empty()) return true;
                if (h.size() > 2 || !IsHex(h[0]) || (h.size() == 2 && !IsHex(h[1]))) return false;
                int b = HexValue(h[0]);
                if (h.size() == 2) b = b * 16 + HexValue(h[1]);
                v.data += static_cast<char>(b);
                return true;
            };
            for (char c : bytes) {
                if (c == ',') {
                    if (!flush()) return fail(lineNo, "malformed hex byte");
                } else {
                    item += c;
                }
            }
            if (!flush()) return fail(lineNo, "malformed hex byte");
        } else if (rest == "-") {
            return fail(lineNo, "value deletions ('-') are not kept in the settings file");
        } else {
            return fail(lineNo, "unknown value form (expected \"text\", dword: or hex:)");
        }
        line.isValue = true;
        line.value = v;
        parsed.lines.push_back(line);
    }
    lines = std::move(parsed.lines);
    sections = std::move(parsed.sections);
    error.clear();
    errorLine = 0;
    return true;
}

std::string SettingsFile::Serialize() const {
    std::string out;
    for (const Line& l : lines) {
        out += l.text;
        out += '\n';
    }
    return out;
}

int SettingsFile::FindSection(const std::string& key) const {
    const std::string folded = FoldCase(key);
    for (std::size_t i = 0; i < sections.size(); ++i)
        if (FoldCase(sections[i].key) == folded) return static_cast<int>(i);
    return -1;
}

bool SettingsFile::KeyExists(const std::string& key) const {
    if (key.empty()) return true;
    const std::string folded = FoldCase(key);
    for (const Section& s : sections) {
        std::string k = FoldCase(s.key);
        if (k == folded || k.rfind(folded + "\\", 0) == 0) return true;
    }
    return false;
}

bool SettingsFile::CreateKey(const std::string& key) {
    if (!KeyPathProblem(key).empty()) return false;
    if (FindSection(key) >= 0) return true;
    if (!lines.empty() && !lines.back().text.empty()) lines.push_back(Line{});
    if (lines.empty()) {
        lines.push_back(Line{"REGEDIT4", -1, false, false, {}});
        lines.push_back(Line{"; Velmora settings: edit by hand or with `velmora reg`; comments survive rewrites.",
                             -1,
                             false,
                             false,
                             {}});
    }
    sections.push_back({key});
    Line header;
    header.text = std::string("[") + kRoot + "\\" + key + "]";
    header.section = static_cast<int>(sections.size()) - 1;
    header.isHeader = true;
    lines.push_back(header);
    return true;
}

std::optional<SettingsFile::Value> SettingsFile::Get(const std::string& key, const std::string& name) const {
    int s = FindSection(key);
    if (s < 0) return std::nullopt;
    const std::string folded = FoldCase(name);
    for (const Line& l : lines)
        if (l.isValue && l.section == s && FoldCase(l.value.name) == folded) return l.value;
    return std::nullopt;
}

std::vector<SettingsFile::Value> SettingsFile::Values(const std::string& key) const {
    std::vector<Value> out;
    int s = FindSection(key);
    if (s < 0) return out;
    for (const Line& l : lines)
        if (l.isValue && l.section == s) out.push_back(l.value);
    return out;
}

std::vector<std::string> SettingsFile::SubKeys(const std::string& key) const {
    std::vector<std::string> out;
    const std::string prefix = key.empty() ? std::string() : FoldCase(key) + "\\";
    for (const Section& s : sections) {
        std::string k = FoldCase(s.key);
        if (k.size() <= prefix.size() || k.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = s.key.substr(prefix.size());
        std::string child = rest.substr(0, rest.find('\\'));
        bool seen = false;
        for (const std::string& o : out) seen = seen || FoldCase(o) == FoldCase(child);
        if (!seen) out.push_back(child);
    }
    return out;
}

bool SettingsFile::Set(const std::string& key, const Value& value) {
    if (!ValueProblem(key, value).empty()) return false;
    CreateKey(key);
    const int s = FindSection(key);
    const std::string folded = FoldCase(value.name);
    std::size_t insertAfter = 0;
    bool found = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Line& l = lines[i];
        if (l.section != s) continue;
        if (l.isValue && FoldCase(l.value.name) == folded) {
            l.value = value;
            l.text = FormatValueLine(value);
            return true;
        }
        if (l.isValue || l.isHeader) {
            insertAfter = i;
            found = true;
        }
    }
    Line line;
    line.text = FormatValueLine(value);
    line.section = s;
    line.isValue = true;
    line.value = value;
    if (!found) {
        lines.push_back(line);
        return true;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1), line);
    return true;
}

bool SettingsFile::Delete(const std::string& key, const std::string& name) {
    int s = FindSection(key);
    if (s < 0) return false;
    const std::string folded = FoldCase(name);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].isValue && lines[i].section == s && FoldCase(lines[i].value.name) == folded) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}
