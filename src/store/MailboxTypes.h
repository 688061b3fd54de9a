// MailboxTypes: the values the shared mailbox layer hands to its users (the
// IMAP and POP3 modules and the console's mailbox listing).
//
// A message in an opened folder is known by its UID: per folder, strictly
// ascending, never reused while the folder's UIDVALIDITY stays. Flags are
// shared by every session: Seen is the store's read mark (Mails.mRead);
// the others and the keywords persist in the layer's own tables. Deleted
// here is the IMAP flag; an expunge (or a POP3 QUIT) removes the message.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace mailbox {

enum Flag : std::uint32_t {
    kSeen = 1u << 0,
    kAnswered = 1u << 1,
    kFlagged = 1u << 2,
    kDeleted = 1u << 3,
    kDraft = 1u << 4,
};

// Classified failures: a front end words each its own way (IMAP: NO with a
// response code, POP3: -ERR, the console: a message box).
enum class Error {
    None,
    NoSuchFolder,      // the folder name or number is not the account's
    NoSuchMessage,     // the UID is not (or no longer) in the folder
    MessageMissing,    // the row is there, its file is not
    FolderExists,      // create/rename onto a name in use
    FolderProtected,   // a standard folder cannot be renamed or deleted
    InvalidName,       // empty, too long, or characters the store refuses
    OverQuota,         // the account's mailbox limit
    TooBig,            // over the account's receive limit
    Storage,           // a file or row step failed; nothing was changed
};

// A result: the value when error is None.
template <typename T>
struct Result {
    Error error = Error::None;
    T value{};
    bool Ok() const { return error == Error::None; }
    static Result Fail(Error e) { return Result{e, T{}}; }
};

struct MessageInfo {
    std::uint32_t uid = 0;
    std::string mailId;       // the store's message id (file name without ".mel")
    std::uint32_t size = 0;   // bytes of the file as served
    std::uint32_t flags = 0;  // Flag bits
    std::vector<std::string> keywords;
    std::time_t received = 0;  // the internal date (mRcvdTime)
};

struct FolderInfo {
    int folderId = 0;
    std::string name;       // as the store keeps it ("Inbox", "Sent", "Work/2026")
    bool standard = false;  // one of the account's standard folders
    // "\\Sent", "\\Trash", "\\Drafts", "\\Junk" or "" (RFC 6154).
    std::string specialUse;
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 0;
    std::uint32_t messages = 0;
    std::uint32_t unseen = 0;
};

// What changed in an opened folder since its last refresh, in the order a
// session must report it: expunged UIDs, then new messages (ascending UID),
// then messages whose flags another session or the store changed.
struct Changes {
    std::vector<std::uint32_t> expunged;
    std::vector<MessageInfo> added;
    std::vector<MessageInfo> flagsChanged;
    bool Empty() const { return expunged.empty() && added.empty() && flagsChanged.empty(); }
};

enum class FlagMode { Add, Remove, Replace };

// UID pairs of a copy or move, for COPYUID (RFC 4315).
struct CopyResult {
    std::uint32_t targetUidValidity = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> uids;  // source, target
};

struct AppendResult {
    std::uint32_t uidValidity = 0;
    std::uint32_t uid = 0;
};

}  // namespace mailbox
