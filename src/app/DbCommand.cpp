// DbCommand: `velmora db migrate`.
#include "app/DbCommand.h"

#include <cstdlib>

#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "foundation/DataSource.h"
#include "foundation/DatabaseMigration.h"
#include "foundation/OdbcConnection.h"
#include "platform/Home.h"

void DbCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora [--home DIR] db migrate --to postgresql://USER@HOST:PORT/DB\n"
           "Copies the home's mail database into that empty PostgreSQL database and points the home at it\n"
           "(password from PGPASSWORD or asked for). Stop the server first.\n";
}

int DbCommand::Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive) {
    CommandLine line;
    line.args = args;
    std::string url;
    const bool hasTarget = line.TakeOption("--to", url);
    if (line.args.size() != 1 || line.args[0] != "migrate" || !hasTarget) {
        PrintUsage(err);
        return 64;
    }
    std::string error;
    auto target = DataSource::ParsePostgresUrl(url, error);
    if (!target) {
        err << "velmora db migrate: " << error << "\n";
        return 64;
    }
    const std::string home = Home::Dir();
    if (const auto current = DataSource::PostgresTargetOf(home)) {
        err << "velmora db migrate: the home's database is on PostgreSQL already (" << current->Url() << ")\n";
        return 1;
    }
    const std::string why = DataSource::Diagnose(home);
    if (!why.empty()) {
        err << "velmora db migrate: cannot use the data source \"Velmora\": " << why << "\n";
        return 1;
    }
    const char* fromEnvironment = std::getenv("PGPASSWORD");
    target->password = fromEnvironment ? fromEnvironment
                                       : CommandSupport::ReadSecret("Password of " + target->Url() + ": ", in, out,
                                                                    interactive);

    OdbcEnvironment env;
    OdbcConnection source, destination;
    if (!source.Allocate(env) || !source.Connect()) {
        err << "velmora db migrate: cannot open the home's database: " << source.LastError() << "\n";
        return 1;
    }
    const std::string text = DataSource::PostgresConnectionString(*target);
    SQLCHAR completed[1024];
    SQLSMALLINT completedLength = 0;
    if (!destination.Allocate(env) ||
        !OdbcSucceeded(SQLDriverConnect(destination.Handle(), nullptr, (SQLCHAR*)text.c_str(), SQL_NTS, completed,
                                        sizeof completed, &completedLength, SQL_DRIVER_NOPROMPT))) {
        err << "velmora db migrate: cannot connect to " << target->Url() << ": " << destination.LastError() << "\n";
        return 1;
    }
    const DatabaseMigration::Result result = DatabaseMigration::Copy(source.Handle(), destination.Handle());
    SQLDisconnect(destination.Handle());
    if (!result.ok) {
        err << "velmora db migrate: " << result.error
            << (result.targetNotEmpty ? "; nothing was copied" : "; the target was left without the copy") << "\n";
        return 1;
    }
    if (!DataSource::WritePostgresFiles(home, *target, error)) {
        err << "velmora db migrate: the rows were copied, but " << error << "\n";
        return 1;
    }
    out << "Copied " << result.rows << " rows of " << result.tables << " tables to " << target->Url()
        << "; the home's data source now names it (the old database stays as it was).\n";
    return 0;
}
