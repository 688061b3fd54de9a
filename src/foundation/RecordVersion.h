// RecordVersion: a number the database raises whenever an account's record
// changes, so that account look-ups can be kept between messages.
//
// The number is one row of table RecordVersion; triggers on the tables an
// account record is read from (Accounts but its session flag, FolderMapping,
// MailSizeControl, UserPrefrences) and on those of its delivery settings
// (AutoResponder, Forwarding, Netware, mailmonitor) raise it in the same
// transaction as the change, whichever program or statement makes it. Only
// backends whose schema carries the triggers have the table (SQLite and
// PostgreSQL); elsewhere Read answers nothing and every look-up goes to the
// tables. A database set up before the delivery settings were watched lacks
// their triggers (until setup runs again): ReadForDeliverySettings then
// answers nothing, and those settings are read afresh for every message.
#pragma once

#include <sql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class RecordVersion {
public:
    // The current number; nothing when the table is missing or unreadable.
    // Inside a Pin on this thread and connection, the pinned number.
    static std::optional<std::int64_t> Read(SQLHDBC connection);
    // The number under which delivery settings may be kept: Read's, when the
    // database's triggers follow those settings too (asked once per connection).
    static std::optional<std::int64_t> ReadForDeliverySettings(SQLHDBC connection);

    // One look-up made of several reads (a name, then the record) reads the
    // number once: it is read when the pin is made, before any of them.
    class Pin {
    public:
        explicit Pin(SQLHDBC connection);
        ~Pin();
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;

    private:
        friend class RecordVersion;
        SQLHDBC connection;
        std::optional<std::int64_t> version;
        Pin* outer;
    };
    // The table, its row and the triggers, for a SQLite schema.
    static std::vector<std::string> SqliteSchema();
    // The same for a PostgreSQL schema (a trigger function and statement triggers).
    static std::vector<std::string> PostgresSchema();
};
