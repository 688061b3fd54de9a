// SetupCommand: `velmora setup [--home DIR]` provisions a home.
//
// Creates the home, the settings file with the catalogue's provisioned
// values, the data-source files, the database with every table, and the
// spool, queue, log and mail-store directories. Idempotent: only what is
// missing is made; no value, row or file is ever overwritten or dropped,
// except the paths setup itself wrote when the home has moved (MovedHome).
// The command also makes the "postmaster" administrator when there is none:
// every notice the server generates comes from that account.
// The home (0700), the settings file, odbc.ini, the SQLite database with its
// companions and the TLS key in the home (0600) are made, and on an existing
// home mended, readable by their owner only: they hold every password.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "foundation/DataSource.h"

class SetupCommand {
public:
    // Returns the process exit code; progress goes to out, problems to err.
    // Provisions the home only (the account table stays as it is); with a
    // PostgreSQL target, its data source names that database.
    static int Run(const std::string& home, std::ostream& out, std::ostream& err,
                   const DataSource::PostgresTarget* postgres = nullptr);
    // `velmora setup [--postmaster-password P] [--domain NAME]
    // [--database postgresql://USER@HOST:PORT/DB]`: provisions
    // the home, makes the postmaster account when it is missing, and with a
    // domain adds it and records it as the home's own (Preferences\MailDomain):
    // the postmaster's address postmaster@<domain> follows it.
    static int Run(const std::string& home, const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    // Makes "postmaster" with the password, or with a generated one that is
    // printed once, when no account of that name exists. Needs a home in use.
    static int EnsurePostmaster(const std::string& password, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
