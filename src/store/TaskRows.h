// TaskRows: the statements of the task exchange: the row of a task request
// filed in the account's request folder, and a query a task document
// carries (run only where the administrator allows it).
#pragma once

#include <sql.h>

#include <ctime>
#include <string>

namespace mailstore {

// The request's Mails row (type 3, unread, folder 4) under the task's id.
bool InsertTaskRequestRow(SQLHDBC connection, const std::string& taskId, long accountId, std::time_t received);
// Runs the document's query; "" when it ran, else the database's text.
std::string RunTaskQuery(SQLHDBC connection, const std::string& query);

}  // namespace mailstore
