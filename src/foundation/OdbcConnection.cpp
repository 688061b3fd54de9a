// OdbcConnection: connect and disconnect with the system's parameters.
#include "foundation/OdbcConnection.h"

#include "foundation/DataSource.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/OdbcStatement.h"

#include <string_view>

OdbcConnection::~OdbcConnection() {
    Disconnect();
    if (handle != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, handle);
}

bool OdbcConnection::Allocate(const OdbcEnvironment& env) {
    if (handle != SQL_NULL_HDBC) return true;
    if (!env.Ok() || !OdbcSucceeded(SQLAllocHandle(SQL_HANDLE_DBC, env.Handle(), &handle))) {
        handle = SQL_NULL_HDBC;
        return false;
    }
    return true;
}

bool OdbcConnection::Connect(const char* dataSource, const char* user, const char* password) {
    if (handle == SQL_NULL_HDBC) return false;
    SQLSetConnectAttr(handle, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    // A data source with its own log-in (a PostgreSQL server's) keeps it:
    // the driver uses its user and password when given empty ones.
    if (std::string_view(user) == kUser && std::string_view(password) == kPassword && DataSource::HasOwnLogin())
        user = password = "";
    SQLRETURN rc =
        SQLConnect(handle, (SQLCHAR*)dataSource, SQL_NTS, (SQLCHAR*)user, SQL_NTS, (SQLCHAR*)password, SQL_NTS);
    connected = OdbcSucceeded(rc);
    if (connected) {
        info = std::make_shared<OdbcConnectionInfo>(handle, OdbcStatement::DialectOf(handle));
        OdbcConnectionInfo::Register(info);
    }
    return connected;
}

void OdbcConnection::Disconnect() {
    if (info) {
        OdbcConnectionInfo::Unregister(handle);
        info->Close();
        info.reset();
    }
    if (connected) SQLDisconnect(handle);
    connected = false;
}

void OdbcConnection::SetExclusive(bool exclusive) {
    if (info) info->SetExclusive(exclusive);
}

bool OdbcConnection::IsExclusive(SQLHDBC handle) {
    const auto info = OdbcConnectionInfo::Find(handle);
    return info && info->Exclusive();
}

std::string OdbcConnection::LastError() const {
    return OdbcDiagnostic(SQL_HANDLE_DBC, handle);
}

std::string OdbcDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle) {
    if (handle == SQL_NULL_HANDLE) return "";
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[512] = {};
    SQLSMALLINT length = 0;
    if (!OdbcSucceeded(SQLGetDiagRec(handleType, handle, 1, state, &native, message, sizeof message, &length)))
        return "";
    return std::string("[") + reinterpret_cast<char*>(state) + "] " + reinterpret_cast<char*>(message);
}
