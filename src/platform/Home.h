// Home: the one directory that holds an installation.
//
// Settings file, database, data-source files, mail store, spool directories
// and logs all live below it. Chosen with --home, else $VELMORA_HOME, else
// $HOME/.velmora. Using a home points the settings store at its settings file
// and the ODBC driver manager at its odbc.ini/odbcinst.ini (unless the user
// set ODBCSYSINI/ODBCINI), so nothing under /etc is touched.
#pragma once

#include <string>

class Home {
public:
    static constexpr const char* kSettingsFile = "settings.reg";
    static constexpr const char* kDatabaseFile = "velmora.db";
    static constexpr const char* kOdbcIni = "odbc.ini";
    static constexpr const char* kOdbcInstIni = "odbcinst.ini";

    // The home named by the flag (may be empty), the environment or the default,
    // as an absolute path.
    static std::string Resolve(const std::string& flag);
    // Makes dir the process's home (settings store, ODBC files). No files are made.
    static void Use(const std::string& dir);
    static std::string Dir();
    static std::string PathOf(const std::string& name);
};
