// CNetwareRows: the Netware statements.
#include "store/CNetwareRows.h"

#include <cstdint>

#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "platform/Text.h"

namespace {

// A yes/no column read as text: SQLite gives 1/0, other backends may spell it.
bool IsYes(const std::string& text) {
    const std::string value = FoldCase(std::string(Trim(text)));
    return value == "1" || value == "-1" || value == "true" || value == "yes";
}

SqlTrusted YesNo(bool value) {
    return value ? SqlTrusted("true") : SqlTrusted("false");
}

}  // namespace

bool CNetwareRows::Read(SQLHDBC connection, long accountId, std::optional<Row>& row) {
    row.reset();
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql(
            "SELECT IsNetware, MailPath, UserName, Domain,LeaveCopy  FROM Netware WHERE aAccountId = %ld", accountId)))
        return false;
    if (statement.Fetch()) {
        std::string isNetware, leaveCopy;
        Row found;
        statement.GetText(1, isNetware);
        statement.GetText(2, found.settings.mailPath);
        statement.GetText(3, found.settings.userName);
        statement.GetText(4, found.settings.domain);
        statement.GetText(5, leaveCopy);
        found.isNetware = IsYes(isNetware);
        found.settings.leaveCopy = IsYes(leaveCopy);
        row = std::move(found);
    }
    return true;
}

bool CNetwareRows::Write(SQLHDBC connection, long accountId, const std::optional<NetwareSettings>& held,
                         const std::optional<NetwareSettings>& wanted) {
    std::string sql;
    if (held && !wanted)
        sql = FormatSql("DELETE FROM Netware WHERE aAccountId = %ld", accountId);
    else if (!held && wanted)
        sql = FormatSql("INSERT INTO Netware VALUES(%ld,true,'%s','%s','%s',%s)", accountId,
                        SqlText::Quote(wanted->mailPath), SqlText::Quote(wanted->userName),
                        SqlText::Quote(wanted->domain), YesNo(wanted->leaveCopy));
    else if (held && wanted && !(*held == *wanted))
        sql = FormatSql(
            "UPDATE Netware SET MailPath = '%s', UserName = '%s', Domain = '%s',LeaveCopy=%s WHERE aAccountId = %ld",
            SqlText::Quote(wanted->mailPath), SqlText::Quote(wanted->userName), SqlText::Quote(wanted->domain),
            YesNo(wanted->leaveCopy), accountId);
    if (sql.empty()) return true;
    OdbcStatement statement(connection);
    return statement.ExecDirect(sql);
}

std::optional<long> CNetwareRows::AccountOfLogin(SQLHDBC connection, const std::string& loginName, bool& failed) {
    failed = true;
    OdbcStatement statement(connection);
    std::int32_t id = 0;
    SQLLEN indicator = 0;
    if (!statement.ExecDirect(
            FormatSql("SELECT aAccountId FROM Netware WHERE UserName = '%s'", SqlText::Quote(loginName))) ||
        !statement.BindLong(1, id, &indicator))
        return std::nullopt;
    failed = false;
    if (statement.Fetch() && indicator != SQL_NULL_DATA) return id;
    return std::nullopt;
}
