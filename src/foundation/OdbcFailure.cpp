// OdbcFailure: reading a statement's first diagnostic record.
#include "foundation/OdbcFailure.h"

#include <sqlext.h>

OdbcFailure OdbcFailure::Of(SQLHSTMT statement) {
    OdbcFailure diagnostic;
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[512] = {};
    SQLSMALLINT length = 0;
    if (statement)
        SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &native, message, sizeof message, &length);
    diagnostic.native = static_cast<int>(native);
    diagnostic.state = reinterpret_cast<const char*>(state);
    diagnostic.message = reinterpret_cast<const char*>(message);
    return diagnostic;
}
