// SqlDialect: adapts the system's Access-dialect statements to the backend.
//
// The statements keep their own text everywhere else; only here, just before
// execution, are the few Access forms rewritten: cdate('...') (and
// cdate('...')+N days) becomes a plain date-time literal, "DELETE * FROM"
// becomes "DELETE FROM", ucase( becomes upper(, and true/false become 1/0
// for a backend without boolean literals. The rewrite walks tokens and never
// touches the inside of a quoted value.
#pragma once

#include <string>
#include <string_view>

class SqlDialect {
public:
    enum class Backend { SQLite, PostgreSQL, Other };

    SqlDialect() = default;
    SqlDialect(Backend backend, bool booleanLiterals) : backend(backend), booleanLiterals(booleanLiterals) {}

    // The dialect of a backend by its DBMS name ("SQLite", "PostgreSQL", ...).
    static SqlDialect ForDbmsName(std::string_view dbmsName);

    std::string Translate(std::string_view sql) const;
    // Whether sql uses a form rewritten from its values (cdate(...)), which a
    // statement with placeholders cannot have: it must be printed instead.
    static bool RewritesValues(std::string_view sql);
    Backend GetBackend() const { return backend; }

    // "YYYY-MM-DD HH:MM:SS" of a date-time text plus days, or empty when the
    // text is not a date ("YYYY-MM-DD" alone is midnight).
    static std::string ShiftDate(std::string_view text, long days);

private:
    Backend backend = Backend::SQLite;
    bool booleanLiterals = true;
};
