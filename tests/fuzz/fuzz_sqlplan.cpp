// Fuzz target: a statement format and its values, planned into placeholder
// form with bound values, must print back to exactly the text FormatSql
// would make (or be left to printing).
#include "foundation/OdbcPrepared.h"
#include "foundation/StringFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

// The bound values put back in place of the markers outside literals.
std::string Reprint(const OdbcPrepared::Plan& plan) {
    std::string out;
    std::size_t next = 0;
    bool literal = false;
    for (char c : plan.text) {
        if (c == '\'') literal = !literal;
        if (c != '?' || literal) {
            out += c;
            continue;
        }
        if (next == plan.parameters.size()) std::abort();
        const OdbcPrepared::Plan::Parameter& p = plan.parameters[next++];
        out += p.isText ? "'" + SqlEscape(p.text) + "'" : std::to_string(p.number);
    }
    if (next != plan.parameters.size()) std::abort();
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\0');
    const std::string raw = input.substr(0, cut);
    const std::vector<std::string> given = cut == std::string::npos ? std::vector<std::string>()
                                                                    : Split(input.substr(cut + 1), '\n');
    // Only the conversions a checked format may hold: %s %d %ld %u %lu %%.
    std::string format;
    std::vector<bool> isText;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            format += raw[i];
            continue;
        }
        std::size_t j = i + 1;
        if (j < raw.size() && raw[j] == 'l') ++j;
        if (j >= raw.size() || (raw[j] != 's' && raw[j] != 'd' && raw[j] != 'u' && raw[j] != '%') ||
            (raw[j] == '%' && j != i + 1) || (raw[j] == 's' && j != i + 1))
            continue;
        format.append(raw, i, j - i + 1);
        if (raw[j] != '%') isText.push_back(raw[j] == 's');
        i = j;
    }
    std::deque<std::string> words;
    std::deque<SqlText> texts;
    std::vector<OdbcPrepared::Value> values;
    std::vector<std::string> pieces;
    for (std::size_t k = 0; k < isText.size(); ++k) {
        const std::string v = k < given.size() ? given[k] : std::string();
        OdbcPrepared::Value value;
        if (!isText[k]) {
            value.number = v.starts_with("u") ? std::to_string(std::strtoull(v.c_str() + 1, nullptr, 10))
                                              : std::to_string(std::strtoll(v.c_str(), nullptr, 10));
            pieces.push_back(value.number);
        } else if (v.starts_with("#")) {
            value.kind = OdbcPrepared::Value::Kind::Trusted;
            value.text = words.emplace_back(v.substr(1));
            pieces.push_back(words.back());
        } else {
            value.kind = OdbcPrepared::Value::Kind::Text;
            texts.push_back(v.find('|') != std::string::npos ? SqlText::QuoteEach(Split(v, '|')) : SqlText::Quote(v));
            value.text = texts.back().Escaped();
            pieces.push_back(texts.back().Escaped());
        }
        values.push_back(std::move(value));
    }
    pieces.emplace_back();
    const auto plan = OdbcPrepared::MakePlan(format.c_str(), values.data(), values.size());
    if (plan && Reprint(*plan) != sqlformat::Compose(format.c_str(), pieces.data())) std::abort();
    return 0;
}
