// MessageStoring: the one way a message enters the mail store.
//
// The file comes first, then the rows: the ".mel" file is created
// exclusively under a fresh message id (which reserves the id), filled from
// the content in 64 KB blocks and synced with its directory; only then are
// the Mails row and the MailInfo row written. A crash in between leaves at
// most a file nobody lists, never a row without its message; when the rows
// cannot be written the file goes again (RowsFailed). Local delivery and
// storing into a given folder (and task items, under their own ids) come
// through here, so the ids of every
// component share one process-wide counter.
#pragma once

#include <sql.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "store/CSpoolServedRows.h"

class CMailContent;

namespace mailstore {

// "QIRN-" + local "%Y%m%d" + "-" + seconds since 1970 + the process-wide
// counter, which is taken and advanced atomically and starts at a number of
// the process's own (its id modulo 1000, in millions).
std::string MakeMailId(std::time_t now);

struct StoreRequest {
    long accountId = 0;
    std::uint32_t size = 0;  // bytes to copy from the content
    long dotsCount = 0;      // bytes removed by dot-unstuffing; negative counts as 0
    int type = 1;            // mType: 1 mail, 2 memo, 3 task item
    // Delivery files the message unread in folder 1; storing into a folder
    // files it as read in the given folder.
    bool intoFolder = false;
    int folderId = 1;
    // Filed unread into the folder all the same (the Junk folder's mail is
    // new mail).
    bool unread = false;
    std::string sender;  // as shown in listings (not yet quoted for SQL)
    std::string subject;
    // The spool file's recipient this copy serves, recorded with the rows
    // (see CSpoolServedRows); empty for none.
    CSpoolServedRows::Mark served;
    // Statements a lower layer made to commit with the copy's rows (the mail
    // log's row); composed there, never here from values.
    std::vector<std::string> withRows;
};

enum class StoreResult {
    Stored,      // rows and file are in place
    RowsFailed,  // the rows could not be written; the file was removed again
                 // (or kept unlisted when the rows could not be counted)
    FileFailed,  // the file could not be written; nothing was kept
};

// How a store ended, with the errno of a failed file step: the caller logs
// it long after errno itself has been overwritten by the clean-up.
struct StoreOutcome {
    StoreOutcome(StoreResult how = StoreResult::Stored, int errorNumber = 0) : result(how), error(errorNumber) {}
    bool Stored() const { return result == StoreResult::Stored; }
    // "No such file or directory", "the database refused its rows", ...
    std::string Reason() const;

    StoreResult result;
    int error;  // set for FileFailed, else 0
};

// Stores the message into folderDirectory. mailId receives the id used.
StoreOutcome StoreMessage(SQLHDBC connection, const std::string& folderDirectory, const StoreRequest& request,
                          CMailContent& content, std::string& mailId);

// A task item under the id its task document names, in folderDirectory:
// "<taskId>.mel" is created exclusively (one there already was stored by an
// earlier attempt at the document, and counts as stored), filled and synced
// with its directory; only then is its Mails row written (type 3, unread, in
// the task folder 3), without a summary row.
StoreOutcome StoreTaskItem(SQLHDBC connection, const std::string& folderDirectory, long accountId,
                           const std::string& taskId, CMailContent& content);

// A file step's failure with the errno it left, EIO when it left none (a
// content that could not be read sets no errno).
StoreOutcome FileFailure(int errorNumber);

}  // namespace mailstore
