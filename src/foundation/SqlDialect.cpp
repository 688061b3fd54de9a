// SqlDialect: token-level rewriting of Access forms.
#include "foundation/SqlDialect.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>
#include <unordered_map>
#include <vector>

#include "foundation/DatabaseSchema.h"
#include "platform/Text.h"

namespace {

bool IsIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

void SkipBlanks(std::string_view s, std::size_t& i) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
}

// Reads a '...' literal at s[i] (doubled quotes inside); returns false when unterminated.
bool ReadLiteral(std::string_view s, std::size_t& i, std::string& value) {
    if (i >= s.size() || s[i] != '\'') return false;
    std::size_t j = i + 1;
    value.clear();
    while (j < s.size()) {
        if (s[j] == '\'') {
            if (j + 1 < s.size() && s[j + 1] == '\'') {
                value += '\'';
                j += 2;
                continue;
            }
            i = j + 1;
            return true;
        }
        value += s[j++];
    }
    return false;
}

enum class TokenKind { Blank, Word, Number, Literal, Other };
struct Token {
    TokenKind kind;
    std::string_view text;
};

// Splits a statement into tokens whose texts, joined, are the statement.
std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char c = s[i];
        TokenKind kind = TokenKind::Other;
        if (std::isspace(static_cast<unsigned char>(c))) {
            while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
            kind = TokenKind::Blank;
        } else if (IsIdentStart(c)) {
            while (i < s.size() && IsIdentChar(s[i])) ++i;
            kind = TokenKind::Word;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            while (i < s.size() && IsIdentChar(s[i])) ++i;
            kind = TokenKind::Number;
        } else if (c == '\'' || c == '"') {
            ++i;
            while (i < s.size()) {
                if (s[i] == c && i + 1 < s.size() && s[i + 1] == c) {
                    i += 2;
                } else if (s[i++] == c) {
                    break;
                }
            }
            kind = TokenKind::Literal;
        } else if ((c == '<' || c == '!' || c == '>') && i + 1 < s.size() && (s[i + 1] == '>' || s[i + 1] == '=')) {
            i += 2;
        } else {
            ++i;
        }
        tokens.push_back({kind, s.substr(start, i - start)});
    }
    return tokens;
}

// Every column name of the schema with its type (no name has two types).
const std::unordered_map<std::string, DatabaseSchema::ColumnType>& ColumnTypes() {
    static const std::unordered_map<std::string, DatabaseSchema::ColumnType> columns = [] {
        std::unordered_map<std::string, DatabaseSchema::ColumnType> types;
        for (const DatabaseSchema::Table& table : DatabaseSchema::Tables())
            for (const DatabaseSchema::Column& column : table.columns) types.emplace(FoldCase(column.name), column.type);
        return types;
    }();
    return columns;
}

std::optional<DatabaseSchema::ColumnType> TypeOf(std::string_view column) {
    const auto found = ColumnTypes().find(FoldCase(std::string(column)));
    if (found == ColumnTypes().end()) return std::nullopt;
    return found->second;
}

const DatabaseSchema::Table* FindTable(std::string_view name) {
    for (const DatabaseSchema::Table& table : DatabaseSchema::Tables())
        if (EqualsNoCase(name, table.name)) return &table;
    return nullptr;
}

// The index of the next token that is not blank, from i on (size when none).
std::size_t NextSolid(const std::vector<Token>& tokens, std::size_t i) {
    while (i < tokens.size() && tokens[i].kind == TokenKind::Blank) ++i;
    return i;
}

// When tokens[i..] is an integer literal (a '-' and digits, or digits) that
// ends a value, its boolean word, its digits and the index after it.
bool IntegerAt(const std::vector<Token>& tokens, std::size_t i, std::string& word, std::string& digits,
               std::size_t& after) {
    bool minus = false;
    if (i < tokens.size() && tokens[i].text == "-") {
        minus = true;
        i = NextSolid(tokens, i + 1);
    }
    if (i >= tokens.size() || tokens[i].kind != TokenKind::Number ||
        tokens[i].text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const std::size_t next = NextSolid(tokens, i + 1);
    if (next < tokens.size() && tokens[next].text != "," && tokens[next].text != ")" &&
        !(tokens[next].kind == TokenKind::Word) && tokens[next].text != ";")
        return false;
    const bool zero = tokens[i].text.find_first_not_of('0') == std::string_view::npos;
    word = zero && !minus ? "false" : "true";
    digits = (minus ? "-" : "") + std::string(tokens[i].text);
    after = i + 1;
    return true;
}

}  // namespace

std::string SqlDialect::TypedValues(std::string_view sql) {
    const std::vector<Token> tokens = Tokenize(sql);
    // Each replaced run: [first, after) becomes word.
    struct Replacement {
        std::size_t first, after;
        std::string word;
    };
    std::vector<Replacement> replaced;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].kind != TokenKind::Word) continue;
        // A column named by a word PostgreSQL reserves (LIMIT n OFFSET m is
        // the word itself: a number follows it).
        if (EqualsNoCase(tokens[i].text, "offset")) {
            const std::size_t next = NextSolid(tokens, i + 1);
            if (next >= tokens.size() || tokens[next].kind != TokenKind::Number)
                replaced.push_back({i, i + 1, "\"offset\""});
        }
        // column = 1, column <> 0 (also in SET lists); a text column
        // compared with a number or with a number column.
        const auto type = TypeOf(tokens[i].text);
        if (type && !(i + 1 < tokens.size() && tokens[i + 1].text == ".")) {
            const std::size_t op = NextSolid(tokens, i + 1);
            if (op >= tokens.size()) continue;
            const std::string_view o = tokens[op].text;
            const bool equality = o == "=" || o == "<>" || o == "!=";
            if (!equality && o != "<" && o != ">" && o != "<=" && o != ">=") continue;
            const std::size_t value = NextSolid(tokens, op + 1);
            std::string word, digits;
            std::size_t after = 0;
            if (IntegerAt(tokens, value, word, digits, after)) {
                if (*type == DatabaseSchema::ColumnType::YesNo && equality)
                    replaced.push_back({value, after, word});
                else if (*type == DatabaseSchema::ColumnType::Text)
                    replaced.push_back({value, after, "'" + digits + "'"});
                i = after - 1;
                continue;
            }
            // The other side's column: the last word of a qualified name.
            std::size_t other = value;
            while (other + 2 < tokens.size() && tokens[other].kind == TokenKind::Word && tokens[other + 1].text == ".")
                other += 2;
            if (other >= tokens.size() || tokens[other].kind != TokenKind::Word) continue;
            const auto otherType = TypeOf(tokens[other].text);
            if (!otherType) continue;
            // Numbers as text on both sides: no implicit cast joins them.
            if (*type == DatabaseSchema::ColumnType::Long && *otherType == DatabaseSchema::ColumnType::Text)
                replaced.push_back({i, i + 1, std::string(tokens[i].text) + "::text"});
            else if (*type == DatabaseSchema::ColumnType::Text && *otherType == DatabaseSchema::ColumnType::Long)
                replaced.push_back({other, other + 1, std::string(tokens[other].text) + "::text"});
            i = other;
            continue;
        }
        // INSERT INTO table [(columns)] VALUES (...): values by position.
        if (!EqualsNoCase(tokens[i].text, "into")) continue;
        std::size_t j = NextSolid(tokens, i + 1);
        if (j >= tokens.size() || tokens[j].kind != TokenKind::Word) continue;
        const DatabaseSchema::Table* table = FindTable(tokens[j].text);
        if (!table) continue;
        std::vector<std::optional<DatabaseSchema::ColumnType>> types;
        j = NextSolid(tokens, j + 1);
        if (j < tokens.size() && tokens[j].text == "(") {
            for (j = NextSolid(tokens, j + 1); j < tokens.size() && tokens[j].text != ")"; j = NextSolid(tokens, j + 1))
                if (tokens[j].kind == TokenKind::Word) types.push_back(TypeOf(tokens[j].text));
            j = NextSolid(tokens, j + 1);
        } else {
            for (const DatabaseSchema::Column& column : table->columns) types.push_back(column.type);
        }
        if (j >= tokens.size() || !EqualsNoCase(tokens[j].text, "values")) continue;
        j = NextSolid(tokens, j + 1);
        if (j >= tokens.size() || tokens[j].text != "(") continue;
        std::size_t position = 0;
        int depth = 1;
        bool valueStart = true;
        for (j = j + 1; j < tokens.size() && depth > 0; ++j) {
            const Token& t = tokens[j];
            if (t.kind == TokenKind::Blank) continue;
            const auto type = position < types.size() ? types[position] : std::nullopt;
            if (valueStart && depth == 1 && type && *type != DatabaseSchema::ColumnType::Long) {
                std::string word, digits;
                std::size_t after = 0;
                if (IntegerAt(tokens, j, word, digits, after)) {
                    replaced.push_back({j, after, *type == DatabaseSchema::ColumnType::YesNo ? word : "'" + digits + "'"});
                    j = after - 1;
                    valueStart = false;
                    continue;
                }
            }
            valueStart = false;
            if (t.text == "(") {
                ++depth;
            } else if (t.text == ")") {
                --depth;
            } else if (t.text == "," && depth == 1) {
                ++position;
                valueStart = true;
            }
        }
        i = j - 1;
    }
    if (replaced.empty()) return std::string(sql);
    std::string out;
    out.reserve(sql.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (next < replaced.size() && replaced[next].first == i) {
            out += replaced[next].word;
            i = replaced[next].after - 1;
            ++next;
            continue;
        }
        out.append(tokens[i].text);
    }
    return out;
}

SqlDialect SqlDialect::ForDbmsName(std::string_view name) {
    if (StartsWithNoCase(name, "sqlite")) return SqlDialect(Backend::SQLite, true);
    if (StartsWithNoCase(name, "postgresql")) return SqlDialect(Backend::PostgreSQL, true);
    return SqlDialect(Backend::Other, false);
}

std::string SqlDialect::ShiftDate(std::string_view text, long days) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    std::string t(text);
    int consumed = 0;
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &sec, &consumed) == 6 &&
        static_cast<std::size_t>(consumed) == t.size()) {
    } else if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed) == 3 &&
               static_cast<std::size_t>(consumed) == t.size()) {
        h = mi = sec = 0;
    } else if (std::sscanf(t.c_str(), "%2d/%2d/%4d%n", &mo, &d, &y, &consumed) == 3 &&
               static_cast<std::size_t>(consumed) == t.size() && y >= 1000) {
        // Access's month/day/year form, which the search's date range is
        // written in: midnight of that day.
        h = mi = sec = 0;
    } else {
        return "";
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return "";
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d + static_cast<int>(days);
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    // timegm normalises the day overflow without any time zone in play.
    std::time_t when = timegm(&tm);
    std::tm out{};
    gmtime_r(&when, &out);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", out.tm_year + 1900, out.tm_mon + 1, out.tm_mday,
                  out.tm_hour, out.tm_min, out.tm_sec);
    return buf;
}

bool SqlDialect::RewritesValues(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {  // skip a literal or a quoted name
            std::size_t end = sql.find(c, i + 1);
            while (end != std::string_view::npos && c == '\'' && end + 1 < sql.size() && sql[end + 1] == '\'')
                end = sql.find(c, end + 2);
            if (end == std::string_view::npos) return false;
            i = end + 1;
            continue;
        }
        if (!IsIdentStart(c) || (i > 0 && IsIdentChar(sql[i - 1]))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < sql.size() && IsIdentChar(sql[end])) ++end;
        if (EqualsNoCase(sql.substr(i, end - i), "cdate")) return true;
        i = end;
    }
    return false;
}

std::string SqlDialect::Translate(std::string_view sql) const {
    std::string out;
    out.reserve(sql.size() + 16);
    std::size_t i = 0;
    while (i < sql.size()) {
        char c = sql[i];
        if (c == '\'') {
            std::size_t start = i;
            std::string ignored;
            if (!ReadLiteral(sql, i, ignored)) {  // unterminated: leave the rest alone
                out.append(sql.substr(start));
                break;
            }
            out.append(sql.substr(start, i - start));
            continue;
        }
        if (c == '"') {  // quoted identifier: copy verbatim
            std::size_t end = sql.find('"', i + 1);
            end = end == std::string_view::npos ? sql.size() : end + 1;
            out.append(sql.substr(i, end - i));
            i = end;
            continue;
        }
        if (!IsIdentStart(c) || (i > 0 && IsIdentChar(sql[i - 1]))) {
            out += c;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < sql.size() && IsIdentChar(sql[end])) ++end;
        std::string_view word = sql.substr(i, end - i);

        if (EqualsNoCase(word, "cdate")) {
            std::size_t j = end;
            SkipBlanks(sql, j);
            std::string value;
            if (j < sql.size() && sql[j] == '(') {
                ++j;
                SkipBlanks(sql, j);
                if (ReadLiteral(sql, j, value)) {
                    SkipBlanks(sql, j);
                    if (j < sql.size() && sql[j] == ')') {
                        ++j;
                        long days = 0;
                        std::size_t k = j;
                        SkipBlanks(sql, k);
                        if (k < sql.size() && (sql[k] == '+' || sql[k] == '-')) {
                            bool minus = sql[k] == '-';
                            std::size_t m = k + 1;
                            SkipBlanks(sql, m);
                            std::size_t digits = m;
                            while (m < sql.size() && std::isdigit(static_cast<unsigned char>(sql[m])) && m - digits < 6)
                                days = days * 10 + (sql[m++] - '0');
                            if (m > digits && (m >= sql.size() || !IsIdentChar(sql[m]))) {
                                j = m;
                                if (minus) days = -days;
                            } else {
                                days = 0;
                            }
                        }
                        std::string shifted = ShiftDate(value, days);
                        if (!shifted.empty()) {
                            out += "'" + shifted + "'";
                            i = j;
                            continue;
                        }
                    }
                }
            }
        } else if (EqualsNoCase(word, "ucase")) {
            std::size_t j = end;
            SkipBlanks(sql, j);
            if (j < sql.size() && sql[j] == '(') {
                out += "upper";
                i = end;
                continue;
            }
        } else if (EqualsNoCase(word, "delete")) {
            std::size_t j = end;
            SkipBlanks(sql, j);
            if (j < sql.size() && sql[j] == '*') {
                std::size_t k = j + 1;
                SkipBlanks(sql, k);
                std::size_t f = k;
                while (f < sql.size() && IsIdentChar(sql[f])) ++f;
                if (EqualsNoCase(sql.substr(k, f - k), "from")) {
                    out.append(word);
                    out += ' ';
                    i = k;
                    continue;
                }
            }
        } else if (!booleanLiterals && (EqualsNoCase(word, "true") || EqualsNoCase(word, "false"))) {
            out += EqualsNoCase(word, "true") ? "1" : "0";
            i = end;
            continue;
        }
        out.append(word);
        i = end;
    }
    return backend == Backend::PostgreSQL ? TypedValues(out) : out;
}
