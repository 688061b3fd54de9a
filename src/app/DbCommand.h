// DbCommand: the mail database itself from the shell.
//   velmora db migrate --to postgresql://USER@HOST:PORT/DB
// copies the home's database (every table, every row, ids as they are) into
// an empty PostgreSQL database and then points the home's data source at
// it; the password comes from PGPASSWORD or is asked for. A target that
// holds any row is refused and left as it is. Stop the server first: mail
// it takes during the copy would stay behind in the old database.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

class DbCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool interactive);
    static void PrintUsage(std::ostream& out);
};
