// MailboxBytes: the kept folder sizes, their triggers and their reading.
#include "foundation/MailboxBytes.h"

#include "foundation/DatabaseSchema.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/OdbcTransaction.h"

namespace {

using Backend = SqlDialect::Backend;

Backend BackendOf(SQLHDBC connection) {
    return OdbcStatement::DialectOf(connection).GetBackend();
}

constexpr const char* kTable =
    "CREATE TABLE IF NOT EXISTS MailboxBytes (aAccountId INTEGER NOT NULL, mFolderId INTEGER NOT NULL, "
    "Bytes BIGINT NOT NULL, PRIMARY KEY (aAccountId, mFolderId))";

// A row counts while it is not marked deleted, as the sum it replaces
// counted it (a NULL mark or size counts as the sum counted it: not at all,
// and as nothing). MailboxBytes_Update is made last: its presence tells a
// database whose sizes are kept (setup makes all of it in one transaction,
// see Recompute).
std::vector<std::string> SqliteSchema() {
    const std::string add =
        "INSERT INTO MailboxBytes SELECT NEW.aAccountId, NEW.mFolderId, coalesce(NEW.mMailSize, 0) "
        "WHERE NEW.mDeleted = 0 AND NEW.aAccountId IS NOT NULL AND NEW.mFolderId IS NOT NULL "
        "ON CONFLICT (aAccountId, mFolderId) DO UPDATE SET Bytes = Bytes + excluded.Bytes;";
    const std::string take =
        "UPDATE MailboxBytes SET Bytes = Bytes - coalesce(OLD.mMailSize, 0) "
        "WHERE OLD.mDeleted = 0 AND aAccountId = OLD.aAccountId AND mFolderId = OLD.mFolderId;";
    return {
        kTable,
        "CREATE TRIGGER IF NOT EXISTS MailboxBytes_Insert AFTER INSERT ON Mails BEGIN " + add + " END",
        "CREATE TRIGGER IF NOT EXISTS MailboxBytes_Delete AFTER DELETE ON Mails BEGIN " + take + " END",
        "CREATE TRIGGER IF NOT EXISTS MailboxBytes_Update AFTER UPDATE OF aAccountId, mMailSize, mDeleted, mFolderId "
        "ON Mails BEGIN " +
            take + " " + add + " END",
    };
}

std::vector<std::string> PostgresSchema() {
    return {
        kTable,
        // The body quoted plainly: the driver splits statements only outside quotes.
        "CREATE OR REPLACE FUNCTION MailboxBytes_Follow() RETURNS trigger LANGUAGE plpgsql AS '"
        "BEGIN "
        "IF TG_OP <> ''INSERT'' AND NOT OLD.mDeleted THEN "
        "UPDATE MailboxBytes SET Bytes = Bytes - coalesce(OLD.mMailSize, 0) "
        "WHERE aAccountId = OLD.aAccountId AND mFolderId = OLD.mFolderId; "
        "END IF; "
        "IF TG_OP <> ''DELETE'' AND NOT NEW.mDeleted AND NEW.aAccountId IS NOT NULL AND NEW.mFolderId IS NOT NULL THEN "
        "INSERT INTO MailboxBytes VALUES (NEW.aAccountId, NEW.mFolderId, coalesce(NEW.mMailSize, 0)) "
        "ON CONFLICT (aAccountId, mFolderId) DO UPDATE SET Bytes = MailboxBytes.Bytes + EXCLUDED.Bytes; "
        "END IF; "
        "RETURN NULL; "
        "END'",
        "CREATE OR REPLACE TRIGGER MailboxBytes_Insert AFTER INSERT ON Mails FOR EACH ROW "
        "EXECUTE FUNCTION MailboxBytes_Follow()",
        "CREATE OR REPLACE TRIGGER MailboxBytes_Delete AFTER DELETE ON Mails FOR EACH ROW "
        "EXECUTE FUNCTION MailboxBytes_Follow()",
        "CREATE OR REPLACE TRIGGER MailboxBytes_Update AFTER UPDATE OF aAccountId, mMailSize, mDeleted, mFolderId "
        "ON Mails FOR EACH ROW EXECUTE FUNCTION MailboxBytes_Follow()",
    };
}

}  // namespace

std::vector<std::string> MailboxBytes::Schema(SQLHDBC connection) {
    switch (BackendOf(connection)) {
        case Backend::SQLite:
            return SqliteSchema();
        case Backend::PostgreSQL:
            return PostgresSchema();
        default:
            return {};
    }
}

bool MailboxBytes::Recompute(SQLHDBC connection, std::string& error) {
    const Backend backend = BackendOf(connection);
    if (backend != Backend::SQLite && backend != Backend::PostgreSQL) return true;
    const bool postgres = backend == Backend::PostgreSQL;
    // One transaction where the connection allows it: no change to Mails
    // falls between the triggers' making and the sums (SQLite lets one
    // writer in at a time; PostgreSQL is told to hold writers off).
    OdbcTransaction transaction(connection);
    std::vector<std::string> statements;
    if (postgres && transaction.Active()) statements.push_back("LOCK TABLE Mails IN SHARE MODE");
    for (std::string& sql : Schema(connection)) statements.push_back(std::move(sql));
    statements.push_back(
        "INSERT INTO MailboxBytes SELECT DISTINCT aAccountId, mFolderId, 0 FROM Mails "
        "WHERE aAccountId IS NOT NULL AND mFolderId IS NOT NULL ON CONFLICT DO NOTHING");
    // One statement: it sees Mails as one state, whatever runs beside it.
    statements.push_back(std::string("UPDATE MailboxBytes SET Bytes = (SELECT coalesce(sum(mMailSize), 0) FROM Mails "
                                     "WHERE Mails.aAccountId = MailboxBytes.aAccountId AND "
                                     "Mails.mFolderId = MailboxBytes.mFolderId AND Mails.mDeleted = ") +
                         (postgres ? "false)" : "0)"));
    for (const std::string& sql : statements) {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(sql)) {
            error = sql + ": " + statement.LastError();
            return false;
        }
    }
    if (!transaction.Commit()) {
        error = "the folder sizes could not be committed";
        return false;
    }
    return true;
}

std::optional<std::uint64_t> MailboxBytes::Read(SQLHDBC connection, long accountId, int folder) {
    const std::shared_ptr<OdbcConnectionInfo> info = OdbcConnectionInfo::Find(connection);
    if (!info) return std::nullopt;
    const std::optional<bool> kept = info->Known(OdbcConnectionInfo::Fact::KeepsMailboxBytes, [&] {
        return DatabaseSchema::HasTrigger(connection, "MailboxBytes_Update");
    });
    if (!kept.value_or(false)) return std::nullopt;
    OdbcPrepared statement(connection);
    if (!statement.Run("SELECT Bytes FROM MailboxBytes WHERE aAccountId = %ld AND mFolderId = %d", accountId, folder))
        return std::nullopt;
    std::int64_t bytes = 0;
    SQLLEN indicator = 0;
    if (!statement.BindBigInt(1, bytes, &indicator)) return std::nullopt;
    // No row: nothing was ever counted in the folder.
    if (!statement.Fetch() || indicator == SQL_NULL_DATA || bytes < 0) return 0;
    return static_cast<std::uint64_t>(bytes);
}
