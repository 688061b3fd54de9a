// MissingMessageFiles: the start-up repair of Mails rows whose message file
// is not where they say.
//
// A row without its file lists a message that cannot be read: a store that
// failed on a full disk could leave one, and so could a move of a message
// interrupted between the file's rename and its rows. The repair refiles
// the rows to the account's folder that holds the file when one does, and
// otherwise deletes them (the spool, which kept the message when its store
// failed, delivers it again). Only rows named as the store names messages
// are looked at, and only in accounts and folders whose directories exist,
// so a store volume that is not mounted loses no rows.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <vector>

namespace mailstore {

// Repairs the rows below mailDirectory whose file is missing; logs one line
// per message and returns how many were repaired. Nothing changes when the
// rows or the accounts cannot be read. removed, when given, gets the ids of
// the messages whose rows were deleted.
std::size_t RepairRowsWithoutFiles(SQLHDBC connection, const std::string& mailDirectory,
                                   std::vector<std::string>* removed = nullptr);

}  // namespace mailstore
