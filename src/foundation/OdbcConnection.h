// OdbcConnection: owns one connection handle on an environment.
//
// Every long-lived component connects the same way: login timeout 5 seconds,
// then data source "Velmora" as user "Admin" with password "pylon" (unless
// the data source names its own user, see DataSource::HasOwnLogin). There is
// no reconnection; a failed connection leaves the owner without a database
// and its statements fail at allocation.
//
// A connected handle is registered (OdbcConnectionInfo) with its dialect and
// its cache of prepared statements, which Disconnect frees first. Its owner
// may declare it exclusive: used by one thread only, so that a transaction
// on it (OdbcTransaction) holds only that thread's statements.
#pragma once

#include <memory>
#include <string>

#include "foundation/OdbcEnvironment.h"

class OdbcConnectionInfo;

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
    // Connects without a data source, by a driver connection string
    // ("DRIVER=...;..."); true on success.
    bool DriverConnect(const std::string& connectionString);
    void Disconnect();

    SQLHDBC Handle() const { return handle; }
    bool Connected() const { return connected; }
    // Declares that only one thread uses this connection (after Connect).
    void SetExclusive(bool exclusive);
    // Whether a handle is a connected OdbcConnection declared exclusive.
    static bool IsExclusive(SQLHDBC handle);
    // The driver's last diagnostic text ("[state] message").
    std::string LastError() const;

private:
    // Disconnects the lost connection and connects the handle again with
    // the same log-in.
    bool Reconnect();
    // What a connection made brings: the registry entry and its reconnection.
    void Registered();
    bool ConnectAgain();

    SQLHDBC handle = SQL_NULL_HDBC;
    bool connected = false;
    std::string dataSource, user, password;
    // Set when connected by DriverConnect.
    std::string driverText;
    std::shared_ptr<OdbcConnectionInfo> info;
};

// Diagnostic text of a handle: "[SQLSTATE] message", or empty.
std::string OdbcDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle);
