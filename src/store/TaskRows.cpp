// TaskRows: the task exchange's statements.
#include "store/TaskRows.h"

#include "foundation/DateText.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"

namespace mailstore {

bool InsertTaskRequestRow(SQLHDBC connection, const std::string& taskId, long accountId, std::time_t received) {
    OdbcStatement statement(connection);
    return statement.ExecDirect(FormatSql("INSERT INTO MAILS VALUES('%s',%ld,0,0,0,0,'%s',3,0,4)",
                                          SqlText::Quote(taskId), accountId,
                                          SqlText::Quote(LocalDateTimeText(received))));
}

std::string RunTaskQuery(SQLHDBC connection, const std::string& query) {
    OdbcStatement statement(connection);
    if (statement.ExecDirect(query)) return "";
    const std::string error = statement.LastError();
    return error.empty() ? "the database refused it" : error;
}

}  // namespace mailstore
