// OdbcEnvironment: allocation and release of the environment handle.
#include "foundation/OdbcEnvironment.h"

OdbcEnvironment::OdbcEnvironment() {
    if (!OdbcSucceeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle))) {
        handle = SQL_NULL_HENV;
        return;
    }
    SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

OdbcEnvironment::~OdbcEnvironment() {
    if (handle != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, handle);
}
