// SqlText: Quote and QuoteEach.
#include "foundation/SqlText.h"

#include "foundation/StringFormat.h"

SqlText SqlText::Quote(std::string_view value) {
    return SqlText(SqlEscape(value));
}

SqlText SqlText::QuoteEach(const std::vector<std::string>& values) {
    std::string list;
    for (const std::string& value : values) {
        if (!list.empty()) list += "','";
        list += SqlEscape(value);
    }
    return SqlText(std::move(list));
}
