// OdbcEnvironment: owns one ODBC environment handle (ODBC 3 behaviour).
#pragma once

#include <sql.h>
#include <sqlext.h>

class OdbcEnvironment {
public:
    OdbcEnvironment();
    ~OdbcEnvironment();
    OdbcEnvironment(const OdbcEnvironment&) = delete;
    OdbcEnvironment& operator=(const OdbcEnvironment&) = delete;

    bool Ok() const { return handle != SQL_NULL_HENV; }
    SQLHENV Handle() const { return handle; }

private:
    SQLHENV handle = SQL_NULL_HENV;
};

inline bool OdbcSucceeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}
