// OdbcWriterLock: the process's one writer at a time on a backend whose
// writes lock the whole database (SQLite).
//
// Several connections of one process writing at once make SQLite answer
// "busy", and its driver's busy handler then sleeps in large steps; writers
// queued here instead take turns at once. The lock is held around each write
// statement run in autocommit and around a whole transaction (OdbcTransaction),
// on the calling thread, and it is recursive so that a transaction's own
// statements pass. Reads never take it (WAL readers do not wait for a writer).
//
// Taken before the driver manager is entered and released after it returns,
// never while inside it: unixODBC holds a per-connection mutex there, and the
// two lock orders must not cross.
#pragma once

#include <mutex>
#include <string_view>

#include "foundation/OdbcEnvironment.h"

class OdbcWriterLock {
public:
    // Takes the lock when needed; otherwise holds nothing.
    explicit OdbcWriterLock(bool needed);
    ~OdbcWriterLock();
    OdbcWriterLock(const OdbcWriterLock&) = delete;
    OdbcWriterLock& operator=(const OdbcWriterLock&) = delete;

    // Whether statement sql on connection needs the lock: a write (told by
    // its first keyword) on a backend whose writes lock the whole database.
    static bool Needed(SQLHDBC connection, std::string_view sql);
    // Whether a connection's writes lock the whole database.
    static bool LocksWholeDatabase(SQLHDBC connection);
    // INSERT, UPDATE, DELETE, REPLACE, CREATE, DROP or ALTER first.
    static bool IsWrite(std::string_view sql);

private:
    bool held = false;
};
