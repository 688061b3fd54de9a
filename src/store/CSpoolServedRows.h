// CSpoolServedRows: the statements of the SpoolServed table, which records
// the local recipients of a spool file whose copy is stored.
//
// A recipient's row is written in the same transaction as the rows that
// list its stored copy (a row refused there never keeps the copy out: it is
// committed without it), so a process killed after that commit but before
// the spool file went finds, at its next start, which recipients already
// have the message and serves only the others. The rows of a spool file go
// once the file has: their deletion rides on the next group commit (no
// commit of its own), and what a killed process left is swept at start.
// A spool file is named by its name and a stamp of its size and
// modification time, so a later file under a reused name starts afresh.
#pragma once

#include <sql.h>

#include <ctime>
#include <optional>
#include <set>
#include <string>

class CSpoolServedRows {
public:
    // Which spool file and which of its recipients a store serves.
    struct Mark {
        std::string file;   // the spool file's name, without directory
        std::string stamp;  // its size and modification time
        long recipient = -1;
        bool Empty() const { return file.empty() || recipient < 0; }
    };

    // The stamp of a spool file of that size and modification time.
    static std::string Stamp(long long size, const timespec& modified);
    // The statement recording mark, for the transaction that lists the copy.
    static std::string Statement(const Mark& mark);
    // The recipients of the file recorded as served; nullopt when the rows
    // cannot be read.
    static std::optional<std::set<long>> Served(SQLHDBC connection, const std::string& file, const std::string& stamp);
    // The file has gone: its rows are deleted with the next group commit.
    static void Forget(const std::string& file);
    // Deletes the rows of every file not in present (the spool's names at
    // start). False when the table cannot be read: then no store records a
    // mark in this process (a home whose setup has not made the table).
    static bool Sweep(SQLHDBC connection, const std::set<std::string>& present);
    // Whether stores record their marks (see Sweep).
    static bool Recording();
};
