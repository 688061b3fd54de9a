// UnlistedMessageFiles: the start-up sweep for message files that no row
// lists.
//
// A message file is written before its Mails row, so a server killed in
// between leaves a file nobody lists while the spool still holds the
// message, which is delivered again. The sweep removes such files, and only
// them: named as the store names messages ("QIRN-YYYYMMDD-N.mel"), lying in a
// folder directory of an account the database lists, with no Mails row of
// that id anywhere, and last written inside the time window the caller gives
// (the interrupted run). Files kept on purpose after a deletion with
// CleanUpAfterDelete off are unlisted too, which is why the window is the
// caller's to choose and nothing outside it is touched.
#pragma once

#include <sql.h>

#include <ctime>
#include <string>
#include <string_view>

namespace mailstore {

// True for a name the store gives a message file.
bool IsMessageFileName(std::string_view name);

// Removes the unlisted message files below mailDirectory whose modification
// time is at or after since and before before; logs one line per file and
// returns how many went. Nothing is removed when the accounts cannot be read.
std::size_t RemoveUnlistedMessageFiles(SQLHDBC connection, const std::string& mailDirectory, const timespec& since,
                                       const timespec& before);

}  // namespace mailstore
