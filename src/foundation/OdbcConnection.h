// OdbcConnection: owns one connection handle on an environment.
//
// Every long-lived component connects the same way: login timeout 5 seconds,
// then data source "Velmora" as user "Admin" with password "pylon". There is
// no reconnection; a failed connection leaves the owner without a database
// and its statements fail at allocation.
#pragma once

#include <string>

#include "foundation/OdbcEnvironment.h"

class OdbcConnection {
public:
    static constexpr const char* kDataSource = "Velmora";
    static constexpr const char* kUser = "Admin";
    static constexpr const char* kPassword = "pylon";

    OdbcConnection() = default;
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    // Allocates the handle on env; false when that fails.
    bool Allocate(const OdbcEnvironment& env);
    // Connects to the data source; true on success.
    bool Connect(const char* dataSource = kDataSource, const char* user = kUser, const char* password = kPassword);
    void Disconnect();

    SQLHDBC Handle() const { return handle; }
    bool Connected() const { return connected; }
    // The driver's last diagnostic text ("[state] message").
    std::string LastError() const;

private:
    SQLHDBC handle = SQL_NULL_HDBC;
    bool connected = false;
};

// Diagnostic text of a handle: "[SQLSTATE] message", or empty.
std::string OdbcDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle);
