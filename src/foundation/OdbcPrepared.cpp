// OdbcPrepared: placeholder planning, binding, and the printed fallback.
#include "foundation/OdbcPrepared.h"

#include <cctype>
#include <charconv>
#include <vector>

#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcWriterLock.h"

namespace {

// A character that would glue a number to a word or a decimal.
bool Glues(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

// A SqlTrusted word placed in the text must not open a literal or a marker.
bool Plain(std::string_view word) {
    return word.find_first_of("'\"?") == std::string_view::npos;
}

// Past a conversion's length modifiers: at its letter.
const char* ConversionLetter(const char* percent) {
    const char* p = percent + 1;
    while (*p == 'l' || *p == 'h' || *p == 'z') ++p;
    return p;
}

// The values of a SqlText's quoted form: one, or a QuoteEach list whose
// values are joined by "','" (a lone apostrophe only ever starts that).
bool SplitQuoted(std::string_view quoted, std::vector<std::string>& values) {
    std::string current;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\'') {
            current += quoted[i];
            continue;
        }
        if (i + 1 < quoted.size() && quoted[i + 1] == '\'') {
            current += '\'';
            ++i;
            continue;
        }
        if (quoted.substr(i, 3) != "','") return false;
        values.push_back(std::move(current));
        current.clear();
        i += 2;
    }
    values.push_back(std::move(current));
    return true;
}

}  // namespace

OdbcPrepared::OdbcPrepared(SQLHDBC conn) : connection(conn) {}

OdbcPrepared::~OdbcPrepared() {
    Release();
}

void OdbcPrepared::Release() {
    statement.reset();
    if (leased != SQL_NULL_HSTMT) info->Return(plan.text, leased);
    leased = SQL_NULL_HSTMT;
    use.reset();
    info.reset();
    plan = Plan();
    lengths.clear();
}

std::optional<OdbcPrepared::Plan> OdbcPrepared::MakePlan(const char* format, const Value* values,
                                                         std::size_t count) {
    Plan plan;
    std::string& out = plan.text;
    std::size_t next = 0;
    auto take = [&]() -> const Value* { return next < count ? &values[next++] : nullptr; };
    const char* p = format;
    while (*p != '\0') {
        const char c = *p;
        if (c == '\'') {
            // A conversion alone between its own quotes is one value.
            if (p[1] == '%' && p[2] != '%') {
                const char* letter = ConversionLetter(p + 1);
                if (letter[1] == '\'' && letter[2] != '\'') {
                    const Value* value = take();
                    if (!value) return std::nullopt;
                    if (value->kind == Value::Kind::Trusted) {
                        if (!Plain(value->text)) return std::nullopt;
                        out.append("'").append(value->text).append("'");
                    } else if (value->kind == Value::Kind::Number) {
                        out += '?';
                        plan.parameters.push_back({true, value->number, 0});
                    } else {
                        std::vector<std::string> items;
                        if (!SplitQuoted(value->text, items) || items.size() > kMaxListValues) return std::nullopt;
                        for (std::size_t k = 0; k < items.size(); ++k) {
                            out += k == 0 ? "?" : ",?";
                            plan.parameters.push_back({true, std::move(items[k]), 0});
                        }
                    }
                    p = letter + 2;
                    continue;
                }
            }
            // Any other literal is copied whole; only a trusted word may sit in it.
            out += *p++;
            while (*p != '\0') {
                if (*p == '\'') {
                    out += *p++;
                    if (*p != '\'') break;
                    out += *p++;
                } else if (*p == '%' && p[1] == '%') {
                    out += '%';
                    p += 2;
                } else if (*p == '%') {
                    const Value* value = take();
                    if (!value || value->kind != Value::Kind::Trusted || !Plain(value->text)) return std::nullopt;
                    out.append(value->text);
                    p = ConversionLetter(p) + 1;
                } else {
                    out += *p++;
                }
            }
            continue;
        }
        if (c == '"' || c == '?') return std::nullopt;  // a marker of its own, or a name made of values
        if (c != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        const char* letter = ConversionLetter(p);
        const Value* value = take();
        if (!value) return std::nullopt;
        if (value->kind == Value::Kind::Trusted) {
            if (!Plain(value->text)) return std::nullopt;
            out.append(value->text);
        } else if (value->kind == Value::Kind::Number) {
            // Only where SQL takes a value: not part of a name or a decimal.
            if ((!out.empty() && Glues(out.back())) || Glues(letter[1])) return std::nullopt;
            std::int64_t number = 0;
            const std::string& digits = value->number;
            const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
            out += '?';
            plan.parameters.push_back({false, {}, number});
        } else {
            return std::nullopt;  // a text outside its quotes
        }
        p = letter + 1;
    }
    if (next != count || SqlDialect::RewritesValues(out)) return std::nullopt;
    return plan;
}

bool OdbcPrepared::Run(const char* format, const Value* values, std::size_t count) {
    Release();
    info = OdbcConnectionInfo::Find(connection);
    std::optional<Plan> made;
    if (info && info->Dialect().GetBackend() == SqlDialect::Backend::SQLite) made = MakePlan(format, values, count);
    if (!made) return RunPrinted(format, values, count);
    plan = std::move(*made);
    use.emplace(info);
    leased = info->Lease(plan.text);
    if (leased == SQL_NULL_HSTMT) return RunPrinted(format, values, count);
    statement.emplace(connection, leased, OdbcWriterLock::IsWrite(plan.text));
    SQLUSMALLINT number = 0;
    for (Plan::Parameter& parameter : plan.parameters) {
        ++number;
        SQLRETURN rc;
        if (parameter.isText) {
            lengths.push_back(static_cast<SQLLEN>(parameter.text.size()));
            const SQLULEN size = parameter.text.empty() ? 1 : parameter.text.size();
            rc = SQLBindParameter(leased, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, size, 0,
                                  parameter.text.data(), static_cast<SQLLEN>(parameter.text.size() + 1),
                                  &lengths.back());
        } else {
            rc = SQLBindParameter(leased, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &parameter.number,
                                  0, nullptr);
        }
        if (!OdbcSucceeded(rc)) return RunPrinted(format, values, count);
    }
    return statement->Execute();
}

bool OdbcPrepared::RunPrinted(const char* format, const Value* values, std::size_t count) {
    Release();
    std::vector<std::string> pieces;
    pieces.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i)
        pieces.emplace_back(values[i].kind == Value::Kind::Number ? std::string_view(values[i].number)
                                                                  : values[i].text);
    pieces.emplace_back();
    statement.emplace(connection);
    return statement->ExecDirect(sqlformat::Compose(format, pieces.data()));
}
