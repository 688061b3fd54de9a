// PostgresTestServer: the throw-away PostgreSQL cluster a test run may name.
//
// scripts/pg-cluster starts one and exports VELMORA_TEST_POSTGRES (its
// postgresql://USER@HOST:PORT/DB address, DB being a maintenance database)
// and PGPASSWORD. When they are set, every provisioned test home keeps its
// mail database in a database of its own there, made for it and dropped
// with it; otherwise the tests run on SQLite as always.
#pragma once

#include <optional>
#include <string>

#include "foundation/DataSource.h"

class PostgresTestServer {
public:
    // The cluster named by the environment, or nothing when none is.
    static std::optional<DataSource::PostgresTarget> FromEnvironment();
    // Makes an empty database named after the home; its target, or nothing
    // with the reason on stderr.
    static std::optional<DataSource::PostgresTarget> CreateDatabase(const std::string& home);
    // The same on a given server (its maintenance database named), in an
    // encoding other than the data source's own when one is named.
    static std::optional<DataSource::PostgresTarget> CreateDatabase(const std::string& home,
                                                                    DataSource::PostgresTarget server,
                                                                    const std::string& encoding = "SQL_ASCII");
    // Drops the database CreateDatabase made for the home, connections and all.
    static void DropDatabase(const std::string& home);
    static void DropDatabase(const std::string& home, const DataSource::PostgresTarget& server);
    // The database name used for a home: lower-case letters, digits and '_'.
    static std::string DatabaseName(const std::string& home);
};
