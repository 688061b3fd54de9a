// The benchmark's PostgreSQL server and database.
#include "BenchPostgres.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "BenchSupport.h"

namespace bench {

BenchPostgres::~BenchPostgres() {
    if (!clusterDir_.empty()) Run({script_, "stop", clusterDir_}, "/dev/null", 120);
}

std::string BenchPostgres::Prepare(const std::string& scriptsDir, const std::string& dir, const std::string& url) {
    std::string server = url;
    description_ = url;
    if (server.empty()) {
        script_ = scriptsDir + "/pg-cluster";
        const std::string output = dir + "/pg-cluster.out";
        ::setenv("PG_CLUSTER_FSYNC", "on", 1);
        const bool started = Run({script_, "start", dir + "/postgres"}, output, 120);
        ::unsetenv("PG_CLUSTER_FSYNC");
        if (!started) return "the PostgreSQL cluster did not start: " + ReadAll(output);
        clusterDir_ = dir + "/postgres";
        std::istringstream lines(ReadAll(output));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("export VELMORA_TEST_POSTGRES=", 0) == 0) server = line.substr(line.find('=') + 1);
            if (line.rfind("export PGPASSWORD=", 0) == 0) ::setenv("PGPASSWORD", line.substr(line.find('=') + 1).c_str(), 1);
        }
        description_ = "a throw-away cluster (fsync and synchronous commit on) at " + server;
    }
    // postgresql://USER@HOST:PORT/DB: psql takes the same address.
    const std::size_t slash = server.rfind('/');
    if (server.rfind("postgresql://", 0) != 0 || slash < 13) return "not a postgresql:// address: " + server;
    const std::string name = "velmora_bench";
    const std::string output = dir + "/createdb.out";
    if (!Run({"psql", "-q", "-v", "ON_ERROR_STOP=1", server, "-c", "DROP DATABASE IF EXISTS " + name, "-c",
              "CREATE DATABASE " + name + " ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0"},
             output, 120))
        return "the benchmark database could not be made: " + ReadAll(output);
    databaseUrl_ = server.substr(0, slash + 1) + name;
    return "";
}

double BenchPostgres::ServerCpuSeconds() const {
    if (clusterDir_.empty()) return -1;
    std::ifstream pidFile(clusterDir_ + "/data/postmaster.pid");
    long pid = 0;
    if (!(pidFile >> pid) || pid <= 0) return -1;
    // After the name's closing parenthesis: fields 3 on; utime, stime,
    // cutime and cstime are fields 14 to 17.
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    double ticks = 0;
    for (int n = 3; n <= 17 && fields >> field; ++n)
        if (n >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace bench
