// OdbcFailure: the first diagnostic record of a failed statement, for the
// callers that report a database error in their own words after the
// statement itself is gone.
#pragma once

#include <sql.h>

#include <string>

struct OdbcFailure {
    int native = 0;
    std::string state;
    std::string message;

    static OdbcFailure Of(SQLHSTMT statement);
    // Fills *into when it is given (the owners' failure out-parameter).
    static void Keep(SQLHSTMT statement, OdbcFailure* into) {
        if (into) *into = Of(statement);
    }
};
