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

bool OdbcConnection::Connect(const char* source, const char* userName, const char* secret) {
    if (handle == SQL_NULL_HDBC) return false;
    // A data source with its own log-in (a PostgreSQL server's) keeps it:
    // the driver uses its user and password when given empty ones.
    if (std::string_view(userName) == kUser && std::string_view(secret) == kPassword && DataSource::HasOwnLogin())
        userName = secret = "";
    dataSource = source;
    user = userName;
    password = secret;
    driverText.clear();
    connected = ConnectAgain();
    if (connected) Registered();
    return connected;
}

bool OdbcConnection::DriverConnect(const std::string& connectionString) {
    if (handle == SQL_NULL_HDBC || connectionString.empty()) return false;
    driverText = connectionString;
    connected = ConnectAgain();
    if (connected) Registered();
    return connected;
}

bool OdbcConnection::ConnectAgain() {
    SQLSetConnectAttr(handle, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    if (!driverText.empty()) {
        SQLCHAR completed[1024];
        SQLSMALLINT length = 0;
        return OdbcSucceeded(SQLDriverConnect(handle, nullptr, (SQLCHAR*)driverText.c_str(), SQL_NTS, completed,
                                              sizeof completed, &length, SQL_DRIVER_NOPROMPT));
    }
    return OdbcSucceeded(SQLConnect(handle, (SQLCHAR*)dataSource.c_str(), SQL_NTS, (SQLCHAR*)user.c_str(), SQL_NTS,
                                    (SQLCHAR*)password.c_str(), SQL_NTS));
}

void OdbcConnection::Registered() {
    info = std::make_shared<OdbcConnectionInfo>(handle, OdbcStatement::DialectOf(handle));
    info->SetReconnect([this] { return Reconnect(); });
    OdbcConnectionInfo::Register(info);
}

bool OdbcConnection::Reconnect() {
    SQLDisconnect(handle);
    if (!ConnectAgain()) return false;
    // A transaction cut off by the loss may have left autocommit off on the handle.
    SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
    return true;
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
