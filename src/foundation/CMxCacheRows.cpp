// CMxCacheRows: the MXCache statements.
#include "foundation/CMxCacheRows.h"

#include "foundation/DateText.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

std::optional<std::string> CMxCacheRows::Read(SQLHDBC connection, const std::string& domain, std::time_t oldest) {
    OdbcStatement statement(connection);
    char text[kMaxHostList] = {};
    SQLLEN indicator = 0;
    if (!statement.ExecDirect(
            FormatSql("SELECT MXServerName FROM MXCache WHERE Domain = '%s' and FetchTime > cdate('%s')",
                      SqlText::Quote(domain), SqlText::Quote(LocalDateTimeText(oldest)))) ||
        !statement.BindChar(1, text, sizeof text, &indicator) || !statement.Fetch() || indicator == SQL_NULL_DATA)
        return std::nullopt;
    return std::string(text);
}

void CMxCacheRows::Store(SQLHDBC connection, const std::string& domain, const std::string& hostList,
                         std::time_t now) {
    const SqlText quotedDomain = SqlText::Quote(domain);
    {
        OdbcStatement remove(connection);
        remove.ExecDirect(FormatSql("DELETE * from MXCache where Domain = '%s'", quotedDomain));
    }
    OdbcStatement insert(connection);
    insert.ExecDirect(FormatSql("INSERT INTO MXCache VALUES ('%s','%s','%s')", quotedDomain, SqlText::Quote(hostList),
                                SqlText::Quote(LocalDateTimeText(now))));
}
