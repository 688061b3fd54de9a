// DkimCanonical: header fields, their relaxed form and the signed selection.
#include "message/DkimCanonical.h"

#include "platform/Text.h"

namespace {

// RFC 5234 WSP: space and TAB only.
bool IsWsp(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<DkimField> SplitDkimFields(std::string_view header) {
    std::vector<DkimField> fields;
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find("\r\n", start);
        std::size_t next = end == std::string_view::npos ? header.size() : end + 2;
        if (IsWsp(header[start])) {
            // A folded line belongs to the field before it.
            if (!fields.empty())
                fields.back().raw = std::string_view(fields.back().raw.data(),
                                                     fields.back().raw.size() + (next - start));
            start = next;
            continue;
        }
        std::string_view line = header.substr(start, next - start);
        std::size_t colon = line.find(':');
        DkimField field;
        if (colon != std::string_view::npos) {
            std::string_view name = line.substr(0, colon);
            while (!name.empty() && IsWsp(name.back())) name.remove_suffix(1);
            field.name.assign(name);
        }
        field.raw = line;
        fields.push_back(std::move(field));
        start = next;
    }
    return fields;
}

std::string RelaxedDkimField(std::string_view field) {
    std::string result;
    result.reserve(field.size());
    std::size_t colon = field.find(':');
    std::string_view name = field.substr(0, colon);
    while (!name.empty() && IsWsp(name.back())) name.remove_suffix(1);
    result = FoldCase(std::string(name));
    result.push_back(':');
    if (colon == std::string_view::npos) return result;
    bool blank = false;
    bool text = false;
    for (char c : field.substr(colon + 1)) {
        if (c == '\r' || c == '\n') continue;  // unfolding: the blank after the break stays
        if (IsWsp(c)) {
            blank = true;
            continue;
        }
        if (blank && text) result.push_back(' ');
        blank = false;
        text = true;
        result.push_back(c);
    }
    return result;
}

std::string DkimSignedFields(const std::vector<DkimField>& fields, const std::vector<std::string>& names,
                             std::string& signedNames) {
    std::string data;
    signedNames.clear();
    auto add = [&](const std::string& name) {
        if (!signedNames.empty()) signedNames.push_back(':');
        signedNames.append(name);
    };
    for (const std::string& name : names) {
        bool any = false;
        for (auto field = fields.rbegin(); field != fields.rend(); ++field) {
            if (FoldCase(field->name) != name) continue;
            data.append(RelaxedDkimField(field->raw));
            data.append("\r\n");
            add(name);
            any = true;
        }
        // A missing From is still named: nobody can add one afterwards.
        if (!any && name == "from") add(name);
    }
    return data;
}
