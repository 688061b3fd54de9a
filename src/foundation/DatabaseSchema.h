// DatabaseSchema: every table of the mail database, each column at the
// position the positional INSERTs of the system rely on.
//
// The program never creates tables while it runs; `velmora setup` calls
// Create once per home. Creation is idempotent (CREATE ... IF NOT EXISTS):
// an existing table and its rows are never touched, but for the folder
// sizes derived from Mails (MailboxBytes), which are computed again.
#pragma once

#include <sql.h>
#include <optional>
#include <string>
#include <vector>

class DatabaseSchema {
public:
    // ExactText compares byte for byte, where case tells values apart.
    enum class ColumnType { Long, Text, YesNo, Date, ExactText };
    struct Column {
        const char* name;
        ColumnType type;
    };
    struct Table {
        const char* name;
        std::vector<Column> columns;
        const char* primaryKey;  // column list, or nullptr
    };

    static const std::vector<Table>& Tables();
    // CREATE TABLE / CREATE INDEX statements for the connected backend.
    static std::vector<std::string> Statements(SQLHDBC connection);
    // Creates what is missing; on failure error names the statement and the driver's reason.
    static bool Create(SQLHDBC connection, std::string& error);
    // Whether the database has the trigger of that name (as created,
    // unquoted); nothing when its catalogue could not be read or the backend
    // keeps none of ours.
    static std::optional<bool> HasTrigger(SQLHDBC connection, const std::string& name);
};
