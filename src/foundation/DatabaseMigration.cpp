// DatabaseMigration: the table-by-table copy.
#include "foundation/DatabaseMigration.h"

#include <sqlext.h>

#include <algorithm>
#include <vector>

#include "foundation/DatabaseSchema.h"
#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"
#include "foundation/PasswordScrambler.h"
#include "foundation/SqlFormat.h"
#include "foundation/SqlText.h"
#include "platform/Text.h"

namespace {

using ColumnType = DatabaseSchema::ColumnType;

// A batch ends at whichever comes first.
constexpr long kRowsPerInsert = 500;
constexpr std::size_t kBytesPerInsert = 1 << 20;

// One value as the target's column takes it: yes/no as a boolean word,
// an empty date as NULL, anything else as a quoted text the column converts.
std::string Literal(ColumnType type, bool present, const std::string& value) {
    if (!present) return "NULL";
    if (type == ColumnType::YesNo)
        return value.empty() || value == "0" || EqualsNoCase(value, "false") ? "false" : "true";
    if (type == ColumnType::Date && value.empty()) return "NULL";
    return "'" + SqlText::Quote(value).Escaped() + "'";
}

// Ends the target's transaction; true when it committed.
bool EndTransaction(SQLHDBC to, bool commit) {
    const bool ended = OdbcSucceeded(SQLEndTran(SQL_HANDLE_DBC, to, commit ? SQL_COMMIT : SQL_ROLLBACK));
    SQLSetConnectAttr(to, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return ended;
}

}  // namespace

DatabaseMigration::Result DatabaseMigration::Copy(SQLHDBC from, SQLHDBC to) {
    Result result;
    // A source home set up by an older program lacks the newer tables; they
    // are made there first, as setup would, so every table can be read.
    if (!DatabaseSchema::Create(from, result.error) || !DatabaseSchema::Create(to, result.error)) return result;
    for (const DatabaseSchema::Table& table : DatabaseSchema::Tables()) {
        OdbcStatement count(to);
        std::string rows;
        if (!count.ExecDirect(std::string("SELECT Count(1) FROM ") + table.name) || !count.Fetch() ||
            !count.GetText(1, rows)) {
            result.error = std::string("cannot count the rows of ") + table.name + ": " + count.LastError();
            return result;
        }
        if (rows != "0") {
            result.targetNotEmpty = true;
            result.error =
                std::string("the target database is not empty: table ") + table.name + " holds " + rows + " rows";
            return result;
        }
    }
    if (!OdbcSucceeded(
            SQLSetConnectAttr(to, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
        result.error = "the target database cannot start a transaction: " + OdbcDiagnostic(SQL_HANDLE_DBC, to);
        return result;
    }
    for (const DatabaseSchema::Table& table : DatabaseSchema::Tables()) {
        std::string columns;
        std::size_t nameColumn = 0, passwordColumn = 0;
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            columns += (i ? ", " : "") + std::string(table.columns[i].name);
            if (EqualsNoCase(table.columns[i].name, "aUserName")) nameColumn = i + 1;
            if (EqualsNoCase(table.columns[i].name, "aPassword")) passwordColumn = i + 1;
        }
        OdbcStatement source(from);
        if (!source.ExecDirect("SELECT " + columns + " FROM " + table.name)) {
            result.error = std::string("cannot read ") + table.name + ": " + source.LastError();
            EndTransaction(to, false);
            return result;
        }
        // Rows go over in batches of one INSERT each: a round trip per row
        // made a home of 100,000 messages take many minutes.
        const std::string head = std::string("INSERT INTO ") + table.name + " (" + columns + ") VALUES ";
        std::string insert;
        long batched = 0;
        const auto flush = [&]() {
            if (!batched) return true;
            OdbcStatement target(to);
            if (!target.ExecDirect(insert)) {
                result.error = std::string("cannot copy the rows of ") + table.name + ": " + target.LastError();
                EndTransaction(to, false);
                return false;
            }
            result.rows += batched;
            batched = 0;
            insert.clear();
            return true;
        };
        while (source.Fetch()) {
            std::vector<std::string> values(table.columns.size());
            std::vector<bool> present(table.columns.size());
            for (std::size_t i = 0; i < table.columns.size(); ++i)
                present[i] = source.GetText(static_cast<SQLUSMALLINT>(i + 1), values[i]);
            // A stored form with bytes a text column may refuse is written
            // again by the scrambler, whose form now suits every backend.
            if (passwordColumn && nameColumn && present[passwordColumn - 1] &&
                !std::all_of(values[passwordColumn - 1].begin(), values[passwordColumn - 1].end(),
                             [](char c) { return c >= 0x20 && c < 0x7F; }))
                values[passwordColumn - 1] = PasswordScrambler::ScrambleForColumn(
                    values[nameColumn - 1],
                    PasswordScrambler::Unscramble(values[nameColumn - 1], values[passwordColumn - 1]));
            insert += batched ? ", (" : head + "(";
            for (std::size_t i = 0; i < table.columns.size(); ++i)
                insert += (i ? ", " : "") + Literal(table.columns[i].type, present[i], values[i]);
            insert += ")";
            if (++batched == kRowsPerInsert || insert.size() >= kBytesPerInsert) {
                if (!flush()) return result;
            }
        }
        if (!flush()) return result;
        ++result.tables;
    }
    if (!EndTransaction(to, true)) {
        result.error = "the target database did not commit the copy: " + OdbcDiagnostic(SQL_HANDLE_DBC, to);
        return result;
    }
    result.ok = true;
    return result;
}
