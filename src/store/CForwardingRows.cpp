// CForwardingRows: the Forwarding and ForwardOptions statements.
#include "store/CForwardingRows.h"

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"

namespace {

bool YesNo(const std::string& value) {
    return !value.empty() && value != "0" && !EqualsNoCase(value, "false");
}

}  // namespace

bool CForwardingRows::ReadEnabled(SQLHDBC connection, long accountId, std::size_t maxRows, std::vector<Row>& rows) {
    rows.clear();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql(
            "SELECT UserId, ServerAddr,RouteLocal FROM Forwarding WHERE aAccountId = %ld and Enable=true", accountId)))
        return false;
    while (rows.size() < maxRows && statement.Fetch()) {
        Row row;
        std::string routeLocal;
        if (!statement.GetText(1, row.userId) || !statement.GetText(2, row.serverAddr)) return false;
        statement.GetText(3, routeLocal);
        row.routeLocal = YesNo(routeLocal);
        rows.push_back(std::move(row));
    }
    return true;
}

bool CForwardingRows::Add(SQLHDBC connection, long accountId, const std::string& user, const std::string& server,
                          bool routeLocal) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("INSERT INTO Forwarding VALUES (%ld, '%s', '%s',%s,true)", accountId,
                                          SqlText::Quote(user), SqlText::Quote(server),
                                          routeLocal ? SqlTrusted("true") : SqlTrusted("false")));
}

bool CForwardingRows::Delete(SQLHDBC connection, long accountId, const std::string& user, const std::string& server) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(
        FormatSql("DELETE FROM Forwarding WHERE aAccountId = %ld AND UserId = '%s' AND ServerAddr = '%s'", accountId,
                  SqlText::Quote(user), SqlText::Quote(server)));
}

bool CForwardingRows::RetainCopy(SQLHDBC connection, long accountId) {
    OdbcStatement statement(connection);
    std::string retain;
    return statement.ExecDirect(
               FormatSql("SELECT RetainForwardCopy FROM ForwardOptions WHERE aAccountId = %ld", accountId)) &&
           statement.Fetch() && statement.GetText(1, retain) && YesNo(retain);
}

bool CForwardingRows::SetRetainCopy(SQLHDBC connection, long accountId, bool retain) {
    // The table has no key to refuse a second row, so an INSERT would not
    // fail on an existing one: look first.
    bool exists = false;
    {
        OdbcStatement statement(connection);
        std::string count;
        if (!statement.ExecDirect(FormatSql("SELECT count(*) FROM ForwardOptions WHERE aAccountId = %ld", accountId)) ||
            !statement.Fetch() || !statement.GetText(1, count))
            return false;
        exists = !count.empty() && count != "0";
    }
    const SqlTrusted value = retain ? SqlTrusted("true") : SqlTrusted("false");
    OdbcStatement statement(connection);
    if (exists)
        return statement.ExecDirect(
            FormatSql("UPDATE ForwardOptions SET RetainForwardCopy = %s WHERE aAccountId = %ld", value, accountId));
    return statement.ExecDirect(FormatSql("INSERT INTO ForwardOptions VALUES(%ld, %s)", accountId, value));
}
