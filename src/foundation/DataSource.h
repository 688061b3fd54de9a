// DataSource: the ODBC data source "Velmora" of a home.
//
// `velmora setup` writes odbc.ini and odbcinst.ini into the home, pointing at
// the SQLite ODBC driver and the home's velmora.db; an administrator may edit
// them to point at another backend, so existing files are never rewritten.
// Diagnose explains, before anything connects, which file or package is
// missing or whether the home has moved, since the driver manager's own
// answer ("data source not found") does not say what to do.
//
// The running server shares one connection among its threads (see
// CMailDatabase), which is safe only while the driver manager lets one
// thread at a time into it: unixODBC's "Threading" of the driver's section
// in odbcinst.ini, 2 (per connection) or 3 (per environment). Its default,
// 0, leaves that to the driver. ThreadingWarning tells a start about it.
//
// `velmora setup --database postgresql://USER@HOST:PORT/DB` writes the files
// for psqlODBC instead, with the log-in in the data source (which is then
// readable by its owner only). Such a data source carries its own user and
// password, which connections then leave to it (HasOwnLogin).
#pragma once

#include <sql.h>

#include <optional>
#include <string>
#include <string_view>

class DataSource {
public:
    // A PostgreSQL server and database, as a postgresql:// address names it.
    struct PostgresTarget {
        std::string user, host, port = "5432", database, password;
        // The address again, without the password.
        std::string Url() const;
    };

    // The SQLite ODBC driver shipped by Debian's libsqliteodbc.
    static std::string SqliteDriverPath();
    // The PostgreSQL ODBC driver of Debian's odbc-postgresql, its ANSI build:
    // texts are bytes to the engine, never converted.
    static std::string PostgresDriverPath();
    // Writes the missing data-source files; false with error on failure.
    static bool WriteFiles(const std::string& home, std::string& error);
    // Writes the data-source files for a PostgreSQL database, replacing
    // files that say anything else; false with error on failure.
    static bool WritePostgresFiles(const std::string& home, const PostgresTarget& target, std::string& error);
    // "postgresql://USER@HOST[:PORT]/DB"; nothing with error when it is not
    // one, or when it carries a password (those come from elsewhere).
    static std::optional<PostgresTarget> ParsePostgresUrl(std::string_view url, std::string& error);
    // A driver connection string for the target, password included, for a
    // connection made without any data source (SQLDriverConnect).
    static std::string PostgresConnectionString(const PostgresTarget& target);
    // Whether the data source "Velmora" the driver manager reads names its
    // own user (a PostgreSQL one does); connections then leave the log-in to it.
    static bool HasOwnLogin();
    // The server and database of the home's data source when it is a
    // PostgreSQL one (without its password).
    static std::optional<PostgresTarget> PostgresTargetOf(const std::string& home);
    // Empty when the data source looks usable; otherwise one message that
    // names the fix.
    static std::string Diagnose(const std::string& home);
    // Empty when the driver manager serialises calls on one connection of
    // the data source; otherwise one line that says why not and what to set.
    static std::string ThreadingWarning(const std::string& home);
    // SQLite: one transaction's view of the whole database written to path
    // while the writers go on; false with error set when it was not.
    static bool CopySqliteDatabase(SQLHDBC connection, const std::string& path, std::string& error);
    // PostgreSQL: the server's encoding, or "" when it cannot be read.
    static std::string PostgresServerEncoding(SQLHDBC connection);
    // The database file the data source "Velmora" of an odbc.ini names; empty when none.
    static std::string DatabasePath(const std::string& odbcIni);
    // Rewrites the data source's "Database=from" line as "Database=to",
    // leaving every other line as it is; false with error when the file
    // could not be written. Only the repair of a moved home does this.
    static bool ReplaceDatabasePath(const std::string& odbcIni, const std::string& from, const std::string& to,
                                    std::string& error);
};
