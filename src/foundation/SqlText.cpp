// SqlText: Quote, QuoteLikePart and QuoteEach.
#include "foundation/SqlText.h"

#include "foundation/StringFormat.h"

SqlText SqlText::Quote(std::string_view value) {
    return SqlText(SqlEscape(value));
}

SqlText SqlText::QuoteLikePart(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        if (c == '%' || c == '_' || c == kLikeEscape) escaped += kLikeEscape;
        escaped += c;
    }
    return SqlText(SqlEscape(escaped));
}

SqlText SqlText::QuoteEach(const std::vector<std::string>& values) {
    std::string list;
    for (const std::string& value : values) {
        if (!list.empty()) list += "','";
        list += SqlEscape(value);
    }
    return SqlText(std::move(list));
}
