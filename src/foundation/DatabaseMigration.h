// DatabaseMigration: copies every table of one mail database into another,
// row by row with every value (account ids included) as it stands.
//
// The target gets the whole schema first (DatabaseSchema::Create) and must
// hold no row in any table: a migration never merges into or overwrites an
// existing database. The rows go over in one transaction on the target, so
// a failure leaves it empty again. Values are carried as text and written as
// the target's column types take them; the scrambled passwords are written
// again in their stored form, which every backend keeps byte for byte.
#pragma once

#include <sql.h>

#include <cstdint>
#include <string>

class DatabaseMigration {
public:
    struct Result {
        bool ok = false;
        bool targetNotEmpty = false;
        std::int64_t rows = 0;
        std::size_t tables = 0;
        std::string error;  // what failed, naming the table
    };
    static Result Copy(SQLHDBC from, SQLHDBC to);
};
