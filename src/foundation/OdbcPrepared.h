// OdbcPrepared: a statement written as for FormatSql whose values are bound
// to a statement prepared once per connection and text, instead of printed
// into a text the backend parses anew each time.
//
//   OdbcPrepared s(connection);
//   s.Run("SELECT count(*) FROM Mails WHERE mMailId = '%s'", SqlText::Quote(id));
//
// The format becomes placeholder form once per run ('%s' and '%ld' between
// their own quotes, and numbers standing where SQL takes a value, become
// "?"; SqlTrusted words stay in the text), the dialect translates that text
// once when it is prepared, and the prepared handle is leased from the
// connection's cache (OdbcConnectionInfo). Bound values are exactly the
// values the printed form would carry (quoting undone, a NUL ends a text as
// SqlEscape ends it), so the result is the same.
//
// Whatever cannot be bound safely runs as today, printed and executed
// directly: a text outside its own quotes or inside a longer literal, a
// number glued to a word, a value the dialect rewrites (cdate('...')), a
// list of more than kMaxListValues, a connection not made by OdbcConnection,
// and any backend but SQLite (a bound text has a type where a printed
// literal has none, which a strictly typed backend may refuse).
//
// Results keep OdbcStatement's Bind*/Fetch API; the handle goes back to the
// cache, closed and unbound, when the object goes. One thread uses an object.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

class OdbcConnectionInfo;

class OdbcPrepared {
public:
    // A list written IN ( '%s' ) with SqlText::QuoteEach binds up to this
    // many values; a longer one is printed.
    static constexpr std::size_t kMaxListValues = 16;

    // One argument as the planner sees it.
    struct Value {
        enum class Kind { Text, Trusted, Number } kind = Kind::Number;
        std::string_view text;  // Text: the quoted form; Trusted: the word
        std::string number;     // Number: its decimal form
    };

    explicit OdbcPrepared(SQLHDBC connection);
    ~OdbcPrepared();
    OdbcPrepared(const OdbcPrepared&) = delete;
    OdbcPrepared& operator=(const OdbcPrepared&) = delete;

    // Runs the statement; true when it ran. Running again first gives back
    // the previous statement and its results.
    template <SqlArgument... Args>
    bool Run(SqlFormat<std::type_identity_t<Args>...> format, const Args&... args) {
        const Value values[] = {MakeValue(args)..., Value()};
        return Run(format.Text(), values, sizeof...(Args));
    }

    // Whether the last Run used a prepared statement (false: printed text).
    bool UsedPrepared() const { return leased != SQL_NULL_HSTMT; }

    bool BindULong(SQLUSMALLINT column, std::uint32_t& target, SQLLEN* indicator = nullptr) {
        return statement && statement->BindULong(column, target, indicator);
    }
    bool BindBit(SQLUSMALLINT column, unsigned char& target, SQLLEN* indicator = nullptr) {
        return statement && statement->BindBit(column, target, indicator);
    }
    bool BindLong(SQLUSMALLINT column, std::int32_t& target, SQLLEN* indicator) {
        return statement && statement->BindLong(column, target, indicator);
    }
    bool BindBigInt(SQLUSMALLINT column, std::int64_t& target, SQLLEN* indicator) {
        return statement && statement->BindBigInt(column, target, indicator);
    }
    bool BindChar(SQLUSMALLINT column, char* buffer, SQLLEN size, SQLLEN* indicator = nullptr) {
        return statement && statement->BindChar(column, buffer, size, indicator);
    }
    bool Fetch() { return statement && statement->Fetch(); }
    bool GetText(SQLUSMALLINT column, std::string& value) { return statement && statement->GetText(column, value); }
    SQLLEN RowCount() { return statement ? statement->RowCount() : -1; }
    std::string LastError() const { return statement ? statement->LastError() : std::string(); }

    // The placeholder text of a format and its bound values, or nullopt when
    // it must be printed. Exposed for the tests.
    struct Plan {
        std::string text;
        struct Parameter {
            bool isText = true;
            std::string text;
            std::int64_t number = 0;
        };
        std::deque<Parameter> parameters;
    };
    static std::optional<Plan> MakePlan(const char* format, const Value* values, std::size_t count);

private:
    static Value MakeValue(const SqlText& value) { return {Value::Kind::Text, value.Escaped(), {}}; }
    static Value MakeValue(const SqlTrusted& value) { return {Value::Kind::Trusted, value.Text(), {}}; }
    template <SqlNumber T>
    static Value MakeValue(T value) {
        return {Value::Kind::Number, {}, std::to_string(value)};
    }

    bool Run(const char* format, const Value* values, std::size_t count);
    bool RunPrinted(const char* format, const Value* values, std::size_t count);
    void Release();

    SQLHDBC connection;
    std::shared_ptr<OdbcConnectionInfo> info;
    // Held from before the lease until the handle is back.
    std::optional<OdbcConnectionInfo::Use> use;
    std::optional<OdbcStatement> statement;
    SQLHSTMT leased = SQL_NULL_HSTMT;
    std::string key;
    Plan plan;
    std::deque<SQLLEN> lengths;
};
