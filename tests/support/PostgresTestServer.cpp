// PostgresTestServer: databases made and dropped on the test cluster.
#include "PostgresTestServer.h"

#include <cstdlib>
#include <iostream>

#include "foundation/OdbcConnection.h"
#include "foundation/OdbcStatement.h"

namespace {

// Runs statements on the cluster's maintenance database through the driver
// itself, so the tests need no data source for it.
bool RunOnMaintenance(const DataSource::PostgresTarget& server, const std::string& sql, std::string& error) {
    OdbcEnvironment env;
    OdbcConnection connection;
    if (!connection.Allocate(env) || !connection.DriverConnect(DataSource::PostgresConnectionString(server))) {
        error = connection.LastError();
        return false;
    }
    OdbcStatement statement(connection.Handle());
    const bool ran = statement.ExecDirect(sql);
    if (!ran) error = statement.LastError();
    return ran;
}

}  // namespace

std::optional<DataSource::PostgresTarget> PostgresTestServer::FromEnvironment() {
    const char* url = std::getenv("VELMORA_TEST_POSTGRES");
    if (!url || !*url) return std::nullopt;
    std::string error;
    auto target = DataSource::ParsePostgresUrl(url, error);
    if (!target) {
        std::cerr << "VELMORA_TEST_POSTGRES: " << error << "\n";
        std::abort();
    }
    const char* password = std::getenv("PGPASSWORD");
    target->password = password ? password : "";
    return target;
}

std::string PostgresTestServer::DatabaseName(const std::string& home) {
    // mkdtemp's suffix is mixed-case, which an unquoted name would fold: in hex.
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "velmora_";
    for (unsigned char c : home.substr(home.find_last_of('/') + 1)) {
        name += kHex[c >> 4];
        name += kHex[c & 0xF];
    }
    return name.substr(0, 63);
}

std::optional<DataSource::PostgresTarget> PostgresTestServer::CreateDatabase(const std::string& home) {
    const auto server = FromEnvironment();
    return server ? CreateDatabase(home, *server) : std::nullopt;
}

std::optional<DataSource::PostgresTarget> PostgresTestServer::CreateDatabase(const std::string& home,
                                                                             DataSource::PostgresTarget server,
                                                                             const std::string& encoding) {
    const std::string name = DatabaseName(home);
    std::string error;
    // As the data source expects: any byte is kept (citext comes with the schema).
    if (!RunOnMaintenance(
            server,
            "CREATE DATABASE " + name + " ENCODING '" + encoding + "' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0",
            error)) {
        std::cerr << "PostgresTestServer: cannot create database " << name << ": " << error << "\n";
        return std::nullopt;
    }
    server.database = name;
    return server;
}

void PostgresTestServer::DropDatabase(const std::string& home) {
    if (const auto server = FromEnvironment()) DropDatabase(home, *server);
}

void PostgresTestServer::DropDatabase(const std::string& home, const DataSource::PostgresTarget& server) {
    std::string error;
    if (!RunOnMaintenance(server, "DROP DATABASE IF EXISTS " + DatabaseName(home) + " WITH (FORCE)", error))
        std::cerr << "PostgresTestServer: cannot drop database " << DatabaseName(home) << ": " << error << "\n";
}
