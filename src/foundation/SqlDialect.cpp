// SqlDialect: token-level rewriting of Access forms.
#include "foundation/SqlDialect.h"

#include <cctype>
#include <cstdio>
#include <ctime>

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

}  // namespace

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
    return out;
}
