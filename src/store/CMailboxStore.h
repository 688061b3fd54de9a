// CMailboxStore and CMailboxView: the mailbox layer that every reader of an
// account's mail shares. One store object serves one session of one account;
// any number of them, in any threads, may work on the same account at once.
// The layer keeps rows and files consistent under them (a message's file and
// its rows change together or not at all) and tells every opened view what
// the others, and delivery, changed.
//
// These are interfaces so that protocol tests can run on an in-memory
// mailbox; CSqlMailboxStore is the store's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "store/MailboxTypes.h"

class CMailContent;

namespace mailbox {

// One opened folder: a snapshot of its messages in ascending UID order that
// changes only when Refresh is called (so message sequence numbers stay
// what the session last reported).
class CMailboxView {
public:
    virtual ~CMailboxView() = default;

    virtual int FolderId() const = 0;
    virtual std::uint32_t UidValidity() const = 0;
    virtual std::uint32_t UidNext() const = 0;
    virtual bool ReadOnly() const = 0;
    virtual const std::vector<MessageInfo>& Messages() const = 0;

    // Brings the snapshot up to the store: what went, what came, what other
    // sessions flagged. Expunged messages leave the snapshot here only.
    virtual Result<Changes> Refresh() = 0;

    // The message file opened for reading (streamed or read by range with
    // pread) and its size; MessageMissing when the row has no file.
    struct OpenedMessage {
        UniqueFd fd;
        std::uint32_t size = 0;
    };
    virtual Result<OpenedMessage> Open(std::uint32_t uid) = 0;

    // Sets flags on the UIDs; the result lists the messages as they now are
    // (UIDs no longer there are skipped). Seen is written as the read mark.
    virtual Result<std::vector<MessageInfo>> SetFlags(const std::vector<std::uint32_t>& uids, FlagMode mode,
                                                      std::uint32_t flags,
                                                      const std::vector<std::string>& keywords) = 0;

    // Copies into another folder of the account (all or nothing).
    virtual Result<CopyResult> Copy(const std::vector<std::uint32_t>& uids, int targetFolder) = 0;
    // Moves: the copies and the removals both happen, or neither. The moved
    // UIDs leave this view's snapshot at once (the caller reports them).
    virtual Result<CopyResult> Move(const std::vector<std::uint32_t>& uids, int targetFolder) = 0;

    // Removes the messages flagged Deleted (only those in uids when given):
    // file and rows. The removed UIDs leave the snapshot; returned ascending.
    virtual Result<std::vector<std::uint32_t>> Expunge(const std::vector<std::uint32_t>* uids) = 0;
};

class CMailboxStore {
public:
    virtual ~CMailboxStore() = default;

    virtual long AccountId() const = 0;

    // Every folder of the account, standard ones first in number order.
    virtual Result<std::vector<FolderInfo>> ListFolders() = 0;
    // The same folders with only what names them (LIST): the counts and
    // UIDs may be left out, which spares reading every folder's rows.
    virtual Result<std::vector<FolderInfo>> FolderNames() { return ListFolders(); }
    // By the name the store keeps (matched without regard to case for
    // "Inbox"); NoSuchFolder when there is none. The counts and UIDs may be
    // left out: Status gives them.
    virtual Result<FolderInfo> FindFolder(const std::string& name) = 0;
    virtual Result<FolderInfo> Status(int folderId) = 0;

    virtual Result<int> CreateFolder(const std::string& name) = 0;
    // A user's folder only; a new name gets a new UIDVALIDITY.
    virtual Result<bool> RenameFolder(int folderId, const std::string& newName) = 0;
    // A user's folder only: its messages (files and rows) go with it.
    virtual Result<bool> DeleteFolder(int folderId) = 0;

    virtual Result<std::unique_ptr<CMailboxView>> Open(int folderId, bool readOnly) = 0;

    // Stores a message the client sends (the account's limits apply:
    // TooBig, OverQuota). The content is read from its start, size bytes.
    virtual Result<AppendResult> Append(int folderId, CMailContent& content, std::uint32_t size,
                                        std::uint32_t flags, const std::vector<std::string>& keywords,
                                        std::time_t received) = 0;

    // The account's change counter: it moves whenever anything in any of its
    // folders changes (delivery included). WaitForChange returns when it
    // differs from seen, when stopFd is readable, or after timeout.
    virtual std::uint64_t ChangeCounter() const = 0;
    virtual std::uint64_t WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout, int stopFd) = 0;
};

}  // namespace mailbox
