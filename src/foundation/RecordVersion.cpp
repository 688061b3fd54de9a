// RecordVersion: reading the number, and the schema that keeps it.
#include "foundation/RecordVersion.h"

#include <iterator>

#include "foundation/DatabaseSchema.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcPrepared.h"
#include "platform/Text.h"

namespace {
thread_local RecordVersion::Pin* t_pin = nullptr;

std::optional<std::int64_t> ReadTable(SQLHDBC connection) {
    OdbcPrepared statement(connection);
    std::int32_t version = 0;
    SQLLEN indicator = 0;
    if (!statement.Run("SELECT Version FROM RecordVersion") || !statement.BindLong(1, version, &indicator) ||
        !statement.Fetch() || indicator == SQL_NULL_DATA)
        return std::nullopt;
    return version;
}
}  // namespace

std::optional<std::int64_t> RecordVersion::Read(SQLHDBC connection) {
    for (const Pin* pin = t_pin; pin; pin = pin->outer)
        if (pin->connection == connection) return pin->version;
    return ReadTable(connection);
}

RecordVersion::Pin::Pin(SQLHDBC connection) : connection(connection), version(Read(connection)), outer(t_pin) {
    t_pin = this;
}

namespace {

// The tables whose changes make a kept account record or delivery setting
// stale. Tables are only ever added at the end: the last one's trigger tells
// a database whose triggers follow them all.
constexpr const char* kWatchedTables[] = {"Accounts",      "FolderMapping", "MailSizeControl", "UserPrefrences",
                                          "AutoResponder", "Forwarding",    "Netware",         "mailmonitor"};

// The trigger's event; logging in and out flips aLogged on every session,
// which is not a record change.
std::string TriggerEvent(const std::string& table, const std::string& event) {
    if (event != "UPDATE" || table != "Accounts") return event;
    return event +
           " OF aAccountId, aUserName, aPassword, aMailBox, aIsGroup, aIsAlive, aIsAdmin, EmailId, "
           "RecvMailSizeLimit";
}


}  // namespace

std::optional<std::int64_t> RecordVersion::ReadForDeliverySettings(SQLHDBC connection) {
    const std::shared_ptr<OdbcConnectionInfo> info = OdbcConnectionInfo::Find(connection);
    if (!info) return std::nullopt;
    // The newest watched table's last trigger tells a database whose triggers follow them all.
    const std::optional<bool> follows = info->Known(OdbcConnectionInfo::Fact::FollowsDeliverySettings, [&] {
        return DatabaseSchema::HasTrigger(connection,
                                          std::string("RecordVersion_") + std::end(kWatchedTables)[-1] + "_DELETE");
    });
    return follows.value_or(false) ? Read(connection) : std::nullopt;
}

RecordVersion::Pin::~Pin() {
    t_pin = outer;
}

std::vector<std::string> RecordVersion::SqliteSchema() {
    std::vector<std::string> out = {
        "CREATE TABLE IF NOT EXISTS RecordVersion (Version INTEGER)",
        // A random start: a process that meets another database (a restored
        // copy, a second home in one test run) never finds its old number.
        "INSERT INTO RecordVersion SELECT abs(random() % 1000000000) WHERE NOT EXISTS (SELECT 1 FROM RecordVersion)",
    };
    for (const char* table : kWatchedTables) {
        for (const char* event : {"INSERT", "UPDATE", "DELETE"}) {
            const std::string on = TriggerEvent(table, event);
            out.push_back(std::string("CREATE TRIGGER IF NOT EXISTS RecordVersion_") + table + "_" + event + " AFTER " +
                          on + " ON " + table +
                          " BEGIN UPDATE RecordVersion SET Version = (Version + 1) % 2000000000; END");
        }
    }
    return out;
}

std::vector<std::string> RecordVersion::PostgresSchema() {
    std::vector<std::string> out = {
        "CREATE TABLE IF NOT EXISTS RecordVersion (Version INTEGER)",
        "INSERT INTO RecordVersion SELECT floor(random() * 1000000000)::integer "
        "WHERE NOT EXISTS (SELECT 1 FROM RecordVersion)",
        // The body quoted plainly: the driver splits statements only outside quotes.
        "CREATE OR REPLACE FUNCTION RecordVersion_Raise() RETURNS trigger LANGUAGE plpgsql AS "
        "'BEGIN UPDATE RecordVersion SET Version = (Version + 1) % 2000000000; RETURN NULL; END'",
    };
    for (const char* table : kWatchedTables) {
        for (const char* event : {"INSERT", "UPDATE", "DELETE"}) {
            const std::string on = TriggerEvent(table, event);
            // Once per statement: one change is enough to make every kept record stale.
            out.push_back(std::string("CREATE OR REPLACE TRIGGER RecordVersion_") + table + "_" + event + " AFTER " +
                          on + " ON " + table + " FOR EACH STATEMENT EXECUTE FUNCTION RecordVersion_Raise()");
        }
    }
    return out;
}
