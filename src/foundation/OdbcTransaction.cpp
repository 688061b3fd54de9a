// OdbcTransaction: autocommit off, commit or rollback, autocommit on.
#include "foundation/OdbcTransaction.h"

#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"

namespace {

bool SetAutocommit(SQLHDBC connection, bool on) {
    return OdbcSucceeded(SQLSetConnectAttr(connection, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF),
                                           SQL_IS_UINTEGER));
}

}  // namespace

OdbcTransaction::OdbcTransaction(SQLHDBC conn) : connection(conn) {
    if (!OdbcConnection::IsExclusive(connection)) return;
    use.emplace(OdbcConnectionInfo::Find(connection));
    // The writer lock first: it is never taken inside the driver manager.
    writer.emplace(OdbcWriterLock::LocksWholeDatabase(connection));
    if (!SetAutocommit(connection, false)) {
        writer.reset();
        return;
    }
    active = true;
}

OdbcTransaction::~OdbcTransaction() {
    if (!active) return;
    if (!committed && !OdbcSucceeded(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_ROLLBACK)) &&
        OdbcWriterLock::LocksWholeDatabase(connection)) {
        // SQLite ends a transaction by itself on some failures (a full disk,
        // an I/O error), and its ODBC driver, not told, then refuses the
        // rollback and believes a transaction is still open: every later
        // "transaction" on the connection would commit statement by
        // statement. A transaction opened by hand lets the rollback through
        // and sets the driver right again.
        OdbcStatement begin(connection);
        if (begin.ExecDirect("BEGIN")) SQLEndTran(SQL_HANDLE_DBC, connection, SQL_ROLLBACK);
    }
    SetAutocommit(connection, true);
}

void OdbcTransaction::RequireDurableCommits(SQLHDBC connection) {
    const std::shared_ptr<OdbcConnectionInfo> info = OdbcConnectionInfo::Find(connection);
    if (!info || info->CommitsDurable()) return;
    const char* statement = info->Dialect().DurableCommits();
    // Not marked when it failed: asked again at the next store.
    if (!statement || OdbcStatement(connection).ExecDirect(statement)) info->SetCommitsDurable();
}

bool OdbcTransaction::Commit() {
    if (!active) return true;
    if (!committed) committed = OdbcSucceeded(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT));
    return committed;
}
