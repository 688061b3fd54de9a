// The PostgreSQL server a benchmark run keeps its second home's database on:
// the one the caller names (--postgres URL, its password in PGPASSWORD), or
// a throw-away cluster started for the run with scripts/pg-cluster, with
// fsync and synchronous commits on (a production server's durability, so the
// two backends are compared on equal terms), and stopped with the run.
#pragma once

#include <string>

namespace bench {

class BenchPostgres {
public:
    BenchPostgres() = default;
    BenchPostgres(const BenchPostgres&) = delete;
    BenchPostgres& operator=(const BenchPostgres&) = delete;
    // Stops and removes a cluster this run started.
    ~BenchPostgres();

    // Makes the run's database (ENCODING SQL_ASCII, as the data source needs)
    // on the given server, or on a cluster started under dir when url is
    // empty; sets PGPASSWORD for the commands that follow. Empty on
    // success, else why not.
    std::string Prepare(const std::string& scriptsDir, const std::string& dir, const std::string& url);
    // postgresql://USER@HOST:PORT/DB of the run's database.
    const std::string& DatabaseUrl() const { return databaseUrl_; }
    // "a throw-away cluster (fsync on)" or the server named.
    const std::string& Description() const { return description_; }
    // User+system seconds of the run's own cluster so far, its ended
    // backends included (the postmaster reaps them); negative for a server
    // the caller named, whose processes are not ours to read.
    double ServerCpuSeconds() const;

private:
    std::string script_;
    std::string clusterDir_;
    std::string databaseUrl_;
    std::string description_;
};

}  // namespace bench
