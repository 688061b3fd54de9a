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
#pragma once

#include <string>

class DataSource {
public:
    // The SQLite ODBC driver shipped by Debian's libsqliteodbc.
    static std::string SqliteDriverPath();
    // Writes the missing data-source files; false with error on failure.
    static bool WriteFiles(const std::string& home, std::string& error);
    // Empty when the data source looks usable; otherwise one message that
    // names the fix.
    static std::string Diagnose(const std::string& home);
    // Empty when the driver manager serialises calls on one connection of
    // the data source; otherwise one line that says why not and what to set.
    static std::string ThreadingWarning(const std::string& home);
    // The database file the data source "Velmora" of an odbc.ini names; empty when none.
    static std::string DatabasePath(const std::string& odbcIni);
    // Rewrites the data source's "Database=from" line as "Database=to",
    // leaving every other line as it is; false with error when the file
    // could not be written. Only the repair of a moved home does this.
    static bool ReplaceDatabasePath(const std::string& odbcIni, const std::string& from, const std::string& to,
                                    std::string& error);
};
