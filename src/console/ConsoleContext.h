// ConsoleContext: what every console page and dialog works on. The console
// reads and changes the same database, settings and files as the engine and
// the shell commands, through the engine's own classes; it keeps no copy of
// its own apart from what a page shows.
#pragma once

#include <sql.h>

#include <string>

class CMailDatabase;
class CServerApplication;
class OdbcConnection;

struct ConsoleContext {
    // The home: also the working directory, so the relative file names of
    // the settings files ("Schedule.txt", "Connect.stg") resolve there.
    std::string home;
    // The console's own database connection (the application's connection).
    OdbcConnection* connection = nullptr;
    // The account database the pages change accounts through.
    CMailDatabase* database = nullptr;
    // The running engine; null when a page runs without one (its tests).
    CServerApplication* server = nullptr;

    // The connection statements run on: the console's own, or the account
    // database's shared one when the console has none.
    SQLHDBC Connection() const;
};
