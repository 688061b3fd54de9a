// SetupCommand: `velmora setup [--home DIR]` provisions a home.
//
// Creates the home, the settings file with the catalogue's provisioned
// values, the data-source files, the database with every table, and the
// spool, queue, log and mail-store directories. Idempotent: only what is
// missing is made; no value, row or file is ever overwritten or dropped.
#pragma once

#include <ostream>
#include <string>

class SetupCommand {
public:
    // Returns the process exit code; progress goes to out, problems to err.
    static int Run(const std::string& home, std::ostream& out, std::ostream& err);
};
