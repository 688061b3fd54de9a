// ConsoleContext: the connection the console's statements run on.
#include "console/ConsoleContext.h"

#include "foundation/CMailDatabase.h"
#include "foundation/OdbcConnection.h"

SQLHDBC ConsoleContext::Connection() const {
    if (connection && connection->Connected()) return connection->Handle();
    return database ? database->GetConnectionHandle() : SQL_NULL_HDBC;
}
