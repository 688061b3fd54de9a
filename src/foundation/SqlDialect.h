// SqlDialect: adapts the system's Access-dialect statements to the backend.
//
// The statements keep their own text everywhere else; only here, just before
// execution, are the few Access forms rewritten: cdate('...') (and
// cdate('...')+N days) becomes a plain date-time literal, "DELETE * FROM"
// becomes "DELETE FROM", ucase( becomes upper(, and true/false become 1/0
// for a backend without boolean literals. The rewrite walks tokens and never
// touches the inside of a quoted value.
//
// PostgreSQL keeps yes/no columns as boolean, which takes no integer: there
// a 0/1 (or Access's -1) compared with or assigned to a yes/no column, or
// standing at a yes/no position of an INSERT's values, becomes false/true.
// Nor does it compare text with numbers: a bare number given to a text
// column is quoted, and a number column compared with a text column is
// compared as text.
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
    // Whether the backend runs one text of several statements as one
    // transaction (PostgreSQL's simple query): all of them take, or none.
    bool RunsTextAsOneTransaction() const { return backend == Backend::PostgreSQL; }
    // Sent together with a statement outside a transaction, a statement
    // after which its commit does not wait for the disk; null where the
    // backend has none (SQLite's commits wait for no sync here unless
    // DurableCommits was asked for). Only
    // for rows whose loss in a crash loses no mail.
    const char* UnflushedCommit() const {
        return backend == Backend::PostgreSQL ? "SET LOCAL synchronous_commit TO OFF" : nullptr;
    }
    // Run once on a connection, a statement after which each of its commits
    // waits until it is on stable storage; null where commits already do
    // (PostgreSQL). SQLite's data source commits in WAL mode with
    // Sync=NORMAL, whose last commits a power failure may take back.
    const char* DurableCommits() const { return backend == Backend::SQLite ? "PRAGMA synchronous = FULL" : nullptr; }

    // "YYYY-MM-DD HH:MM:SS" of a date-time text plus days, or empty when the
    // text is not a date ("YYYY-MM-DD" and the month/day/year "M/D/YYYY"
    // alone are midnight).
    static std::string ShiftDate(std::string_view text, long days);

private:
    // The PostgreSQL pass: values typed as the columns they meet take them.
    static std::string TypedValues(std::string_view sql);

    Backend backend = Backend::SQLite;
    bool booleanLiterals = true;
};
