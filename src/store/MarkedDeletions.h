// MarkedDeletions: the start-up sweep that finishes interrupted deletions.
//
// A deletion is committed by marking the message's Mails row (mDeleted)
// and then removing the file and the rows; nothing else leaves a row marked
// for longer than that (a POP3 session keeps its DELE marks to itself until
// QUIT). A row still marked when the server starts was left by a process
// that died in between, and the client was already told its messages were
// going: the sweep removes the rows and, when CleanUpAfterDelete asks for
// it, the file.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>

namespace mailstore {

// Whether a committed deletion also removes the message's file
// (Preferences\CleanUpAfterDelete), whichever client deleted it: POP3's
// QUIT, an IMAP EXPUNGE, the console, or this sweep.
bool RemovesDeletedFiles();

// Removes every message whose Mails row is marked deleted: its file below
// mailDirectory when removeFiles is set (and the account and folder can
// still be found), then its Mails and MailInfo rows. Logs one line when any
// went; returns how many did. Nothing runs beside it: it is for start-up.
std::size_t FinishMarkedDeletions(SQLHDBC connection, const std::string& mailDirectory, bool removeFiles);

}  // namespace mailstore
