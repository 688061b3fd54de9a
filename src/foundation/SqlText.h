// SqlText: a text value made fit to stand between single quotes in a
// statement. The only way to make one is to quote it, so a value that
// reaches the statement formatter as SqlText has been through the doubling.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class SqlText {
public:
    // The value with every apostrophe doubled (SqlEscape: a NUL byte ends it).
    static SqlText Quote(std::string_view value);
    // A typed part of a LIKE pattern: LIKE's wildcards "%" and "_" and the
    // escape character itself escaped by kLikeEscape, then quoted, so the
    // text finds itself. The pattern is written LIKE '...' ESCAPE '!'
    // (an escape other than the backslash means the same on every backend).
    static SqlText QuoteLikePart(std::string_view value);
    static constexpr char kLikeEscape = '!';
    // Each value quoted and joined by "','", for a list written IN ( '%s' ).
    static SqlText QuoteEach(const std::vector<std::string>& values);

    const std::string& Escaped() const { return escaped; }

private:
    explicit SqlText(std::string text) : escaped(std::move(text)) {}
    std::string escaped;
};
