// OdbcStatement: one statement handle, allocated, used and freed within one
// operation on one thread.
//
// Statement text is adapted to the connected backend by SqlDialect just
// before it runs. Results bind by column number into fixed buffers, as the
// readers of the system expect; text columns can also be read whole. A write
// run in autocommit holds the process's writer lock (OdbcWriterLock) while
// it runs. A statement can also wrap a handle it borrows (a prepared one
// leased by OdbcPrepared), which it then leaves to its lender.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcEnvironment.h"
#include "foundation/SqlDialect.h"

class OdbcStatement {
public:
    explicit OdbcStatement(SQLHDBC connection);
    // Uses a prepared handle owned elsewhere; isWrite tells whether its text
    // writes.
    OdbcStatement(SQLHDBC connection, SQLHSTMT borrowed, bool isWrite);
    ~OdbcStatement();
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;

    bool Ok() const { return handle != SQL_NULL_HSTMT; }
    SQLHSTMT Handle() const { return handle; }

    bool ExecDirect(const std::string& sql);
    // Sends the statements as one text, each adapted to the backend, in one
    // round trip; only for a backend that runs such a text as one
    // transaction (SqlDialect::RunsTextAsOneTransaction), false elsewhere.
    bool ExecTogether(const std::vector<std::string>& statements);
    bool Prepare(const std::string& sql);
    // Parameters are copied and kept until the statement is freed.
    bool BindText(SQLUSMALLINT number, const std::string& value);
    bool BindLong(SQLUSMALLINT number, std::int64_t value);
    bool Execute();

    bool BindULong(SQLUSMALLINT column, std::uint32_t& target, SQLLEN* indicator = nullptr);
    bool BindLong(SQLUSMALLINT column, std::int32_t& target, SQLLEN* indicator);
    bool BindBigInt(SQLUSMALLINT column, std::int64_t& target, SQLLEN* indicator);
    bool BindBit(SQLUSMALLINT column, unsigned char& target, SQLLEN* indicator = nullptr);
    bool BindChar(SQLUSMALLINT column, char* buffer, SQLLEN size, SQLLEN* indicator = nullptr);
    bool Fetch();
    // The current row's column as text (any length); false on NULL or failure.
    bool GetText(SQLUSMALLINT column, std::string& value);
    SQLLEN RowCount();

    std::string LastError() const;
    // The dialect in force for a connection.
    static SqlDialect DialectOf(SQLHDBC connection);

private:
    // Tells the connection about a failed call (it may have been lost); rc back.
    SQLRETURN Checked(SQLRETURN rc);

    SQLHDBC connection;
    // The connection's registry entry, when OdbcConnection made it; an owned
    // statement is one of its users while it lives.
    std::shared_ptr<OdbcConnectionInfo> info;
    std::optional<OdbcConnectionInfo::Use> use;
    SQLHSTMT handle = SQL_NULL_HSTMT;
    bool owned = true;
    // Whether the prepared text writes: Execute then takes the writer lock.
    bool preparedWrite = false;
    std::deque<std::string> textParams;
    std::deque<std::int64_t> longParams;
    std::deque<SQLLEN> paramLengths;
};
