// HomeBackup: a consistent copy of a home taken while it serves mail, and
// its return into a stopped home.
//
// A stored message is a file written and synced before its rows, and its
// spool file goes only after both. The backup therefore holds the spool
// workers between messages for a moment (HoldRouting), and in that moment
// copies the database through SQLite's own "VACUUM INTO" (a transaction's
// view, taken while writers go on) and the spool directories. Once mail
// flows again it copies the settings, keys, mail logs and every message
// file written before that moment: each row of the copied database then has
// its file, except for a message deleted meanwhile, which the restore names
// and drops. A message taken after the moment is not in the backup; one
// taken before is in the copied spool or in the copied store. The marker
// file is written last: a backup without it is not one.
//
// On PostgreSQL the database is the database server's to back up (pg_dump);
// the backup copies the files and says so.
#pragma once

#include <ctime>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

class HomeBackup {
public:
    static constexpr const char* kMarkerFile = "BACKUP-COMPLETE";
    static constexpr const char* kDatabaseCopy = "velmora.db";
    static constexpr const char* kMailCopy = "mail";

    // The database copy and the spool directories into dir, while nothing
    // is routed. taken is the moment; databaseCopied is false on PostgreSQL.
    // Runs in the server when one serves the home, else in the shell.
    static bool Snapshot(const std::string& home, const std::string& dir, timespec& taken, bool& databaseCopied,
                         std::string& error);
    // The rest of the backup after the snapshot, the marker last.
    static bool Complete(const std::string& home, const std::string& dir, const timespec& taken, bool databaseCopied,
                         std::ostream& out, std::string& error);

    struct Restored {
        std::size_t files = 0;
        std::size_t messages = 0;                  // rows listing a message after the check
        std::vector<std::string> missingMessages;  // rows dropped: their file was deleted during the backup
        std::vector<std::string> missingQueued;    // queue rows dropped: sent during the backup
        bool databaseRestored = false;
    };
    // Puts the backup in dir into the (stopped, locked) home and checks the
    // rows against the files.
    static bool Restore(const std::string& home, const std::string& dir, Restored& result, std::string& error);

    // "seconds.nanoseconds" and back, as the marker and the control reply
    // carry the moment.
    static std::string MomentText(const timespec& moment);
    static bool ParseMoment(const std::string& text, timespec& moment);
};
