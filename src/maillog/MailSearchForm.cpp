// MailSearchForm: the conditions in their fixed order, joined and
// parenthesised as the search composes them.
#include "maillog/MailSearchForm.h"

#include "foundation/SqlFormat.h"

namespace {

std::string DateCondition(const MailSearchForm::Date& start, const MailSearchForm::Date& end) {
    return FormatSql("MailDate >= cdate('%d/%d/%d') AND MailDate <= cdate('%d/%d/%d')+1", start.month, start.day,
                     start.year, end.month, end.day, end.year);
}

}  // namespace

std::string MailSearchForm::Query() const {
    std::string text;
    std::string joiner;
    if (!from.empty()) {
        text += FormatSql("MailFrom LIKE '%%%s%%' ESCAPE '!'", SqlText::QuoteLikePart(from));
        joiner = fromAnd ? " AND " : " OR ";
    }
    if (!to.empty()) {
        text += joiner + FormatSql("MailTo LIKE '%%%s%%' ESCAPE '!'", SqlText::QuoteLikePart(to));
        joiner = toAnd ? " AND " : " OR ";
    }
    if (!subject.empty()) text += joiner + FormatSql("Subject LIKE '%%%s%%' ESCAPE '!'", SqlText::QuoteLikePart(subject));
    const std::string date = during ? DateCondition(start, end) : std::string();
    const std::string direction = in ? (sentItems ? "IsLocal = false" : "IsLocal = true") : std::string();

    std::string query = "SELECT * FROM MAILSTATISTICS";
    if (!text.empty() || !date.empty() || !direction.empty()) {
        query += " WHERE (" + text;
        std::string separator;
        if (!text.empty()) {
            query += ")";
            separator = " AND (";
        }
        if (!date.empty()) {
            query += separator + date;
            separator = " AND ";
        }
        if (!direction.empty()) query += separator + direction;
        if (!date.empty() || !direction.empty()) query += ")";
    }
    return query + " ORDER BY MailDate, Offset ";
}
