// OdbcStatement: execution, binding and fetching on one statement handle.
#include "foundation/OdbcStatement.h"

#include "foundation/OdbcConnection.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcWriterLock.h"

OdbcStatement::OdbcStatement(SQLHDBC conn) : connection(conn), info(OdbcConnectionInfo::Find(conn)) {
    // Entered first: a lost connection is connected again before allocating.
    if (info) use.emplace(info);
    if (conn == SQL_NULL_HDBC || !OdbcSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, conn, &handle)))
        handle = SQL_NULL_HSTMT;
}

// The lender holds the connection's use for a borrowed handle.
OdbcStatement::OdbcStatement(SQLHDBC conn, SQLHSTMT borrowed, bool isWrite)
    : connection(conn), info(OdbcConnectionInfo::Find(conn)), handle(borrowed), owned(false), preparedWrite(isWrite) {}

SQLRETURN OdbcStatement::Checked(SQLRETURN rc) {
    if (rc == SQL_ERROR && info) info->NoteFailure(handle);
    return rc;
}

OdbcStatement::~OdbcStatement() {
    if (owned && handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle);
}

SqlDialect OdbcStatement::DialectOf(SQLHDBC conn) {
    // Asked once at connect time for a connection made by OdbcConnection.
    if (const auto info = OdbcConnectionInfo::Find(conn)) return info->Dialect();
    char name[64] = {};
    SQLSMALLINT length = 0;
    if (!OdbcSucceeded(SQLGetInfo(conn, SQL_DBMS_NAME, name, sizeof name, &length))) return SqlDialect();
    return SqlDialect::ForDbmsName(name);
}

bool OdbcStatement::ExecDirect(const std::string& sql) {
    if (!Ok()) return false;
    const std::string text = DialectOf(connection).Translate(sql);
    OdbcWriterLock writer(OdbcWriterLock::Needed(connection, text));
    SQLRETURN rc = Checked(SQLExecDirect(handle, (SQLCHAR*)text.c_str(), SQL_NTS));
    // An UPDATE or DELETE that matched no row answers SQL_NO_DATA: it ran.
    return OdbcSucceeded(rc) || rc == SQL_NO_DATA;
}

bool OdbcStatement::ExecTogether(const std::vector<std::string>& statements) {
    const SqlDialect dialect = DialectOf(connection);
    if (!Ok() || !dialect.RunsTextAsOneTransaction()) return false;
    std::string text;
    for (const std::string& sql : statements) text += (text.empty() ? "" : ";") + dialect.Translate(sql);
    OdbcWriterLock writer(OdbcWriterLock::Needed(connection, text));
    const SQLRETURN rc = Checked(SQLExecDirect(handle, (SQLCHAR*)text.c_str(), SQL_NTS));
    return OdbcSucceeded(rc) || rc == SQL_NO_DATA;
}

bool OdbcStatement::Prepare(const std::string& sql) {
    if (!Ok()) return false;
    const std::string text = DialectOf(connection).Translate(sql);
    preparedWrite = OdbcWriterLock::IsWrite(text);
    return OdbcSucceeded(Checked(SQLPrepare(handle, (SQLCHAR*)text.c_str(), SQL_NTS)));
}

bool OdbcStatement::BindText(SQLUSMALLINT number, const std::string& value) {
    if (!Ok()) return false;
    textParams.push_back(value);
    paramLengths.push_back(SQL_NTS);
    std::string& stored = textParams.back();
    return OdbcSucceeded(SQLBindParameter(handle, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, stored.size() + 1,
                                          0, stored.data(), static_cast<SQLLEN>(stored.size() + 1),
                                          &paramLengths.back()));
}

bool OdbcStatement::BindLong(SQLUSMALLINT number, std::int64_t value) {
    if (!Ok()) return false;
    // 64-bit: the SQLite driver stores a bound unsigned 32-bit value signed.
    longParams.push_back(value);
    paramLengths.push_back(0);
    return OdbcSucceeded(SQLBindParameter(handle, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                          &longParams.back(), 0, nullptr));
}

bool OdbcStatement::Execute() {
    if (!Ok()) return false;
    OdbcWriterLock writer(preparedWrite && OdbcWriterLock::LocksWholeDatabase(connection));
    SQLRETURN rc = Checked(SQLExecute(handle));
    return OdbcSucceeded(rc) || rc == SQL_NO_DATA;
}

bool OdbcStatement::BindULong(SQLUSMALLINT column, std::uint32_t& target, SQLLEN* indicator) {
    return Ok() && OdbcSucceeded(SQLBindCol(handle, column, SQL_C_ULONG, &target, sizeof target, indicator));
}

bool OdbcStatement::BindLong(SQLUSMALLINT column, std::int32_t& target, SQLLEN* indicator) {
    return Ok() && OdbcSucceeded(SQLBindCol(handle, column, SQL_C_SLONG, &target, sizeof target, indicator));
}

bool OdbcStatement::BindBigInt(SQLUSMALLINT column, std::int64_t& target, SQLLEN* indicator) {
    return Ok() && OdbcSucceeded(SQLBindCol(handle, column, SQL_C_SBIGINT, &target, sizeof target, indicator));
}

bool OdbcStatement::BindBit(SQLUSMALLINT column, unsigned char& target, SQLLEN* indicator) {
    return Ok() && OdbcSucceeded(SQLBindCol(handle, column, SQL_C_BIT, &target, sizeof target, indicator));
}

bool OdbcStatement::BindChar(SQLUSMALLINT column, char* buffer, SQLLEN size, SQLLEN* indicator) {
    return Ok() && OdbcSucceeded(SQLBindCol(handle, column, SQL_C_CHAR, buffer, size, indicator));
}

bool OdbcStatement::Fetch() {
    return Ok() && OdbcSucceeded(Checked(SQLFetch(handle)));
}

bool OdbcStatement::GetText(SQLUSMALLINT column, std::string& value) {
    value.clear();
    if (!Ok()) return false;
    char buffer[4096];
    for (;;) {
        SQLLEN indicator = 0;
        SQLRETURN rc = Checked(SQLGetData(handle, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator));
        if (rc == SQL_NO_DATA) return true;
        if (!OdbcSucceeded(rc) || indicator == SQL_NULL_DATA) return false;
        std::size_t got = (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))
                              ? sizeof buffer - 1
                              : static_cast<std::size_t>(indicator);
        value.append(buffer, got);
        if (rc == SQL_SUCCESS) return true;
    }
}

SQLLEN OdbcStatement::RowCount() {
    SQLLEN rows = -1;
    if (Ok()) SQLRowCount(handle, &rows);
    return rows;
}

std::string OdbcStatement::LastError() const {
    return OdbcDiagnostic(SQL_HANDLE_STMT, handle);
}
