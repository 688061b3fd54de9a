// CSqlMailboxStore: folders, opening, appending and the change counter.
#include "store/CSqlMailboxStore.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/CMailContent.h"
#include "foundation/DateText.h"
#include "foundation/OdbcPrepared.h"
#include "foundation/SqlFormat.h"
#include "message/CMailHeader.h"
#include "platform/FileIo.h"
#include "platform/MutexLock.h"
#include "platform/Text.h"
#include "store/CMailboxChanges.h"
#include "store/CSqlMailboxView.h"
#include "store/IncomingRoom.h"
#include "store/MailStorePaths.h"
#include "store/MessageStoring.h"

namespace mailbox {

namespace {

// Folder numbers above this are not made (an account record reads no more).
constexpr int kMaxFolders = 4096;
constexpr int kSent = 2, kTrash = 5, kDraft = 6, kApprovalMail = 7;

std::string SpecialUse(int folderId, const std::string& name) {
    switch (folderId) {
        case kSent:
            return "\\Sent";
        case kTrash:
            return "\\Trash";
        case kDraft:
            return "\\Drafts";
        default:
            break;
    }
    return EqualsNoCase(name, "Junk") ? "\\Junk" : "";
}

// Only what names the folder: its counts and UIDs cost a read of all its
// rows, and Status or Open reads them when they are wanted.
FolderInfo Named(const CMailboxRows::Folder& folder) {
    FolderInfo info;
    info.folderId = folder.id;
    info.name = folder.name;
    info.standard = folder.id <= CSqlMailboxStore::kStandardFolders;
    info.specialUse = SpecialUse(folder.id, folder.name);
    return info;
}

// A listing value of the header, bounded as the listing columns are.
std::string ListingValue(const CMailHeader& header, std::string_view field, const char* whenEmpty) {
    std::string value(CMailHeader::TrimBlanks(header.GetField(field)));
    if (value.size() > 255) value = CutAtCharacter(std::move(value), 254);
    return value.empty() ? whenEmpty : value;
}

}  // namespace

CSqlMailboxStore::CSqlMailboxStore(SQLHDBC connection, long accountId) : rows(connection, accountId) {}

std::unique_ptr<CMailboxStore> OpenAccountMailbox(SQLHDBC connection, long accountId) {
    auto store = std::make_unique<CSqlMailboxStore>(connection, accountId);
    return store->Usable() ? std::move(store) : nullptr;
}

Result<FolderInfo> CSqlMailboxStore::StatusLocked(int folderId, const std::string& name) {
    FolderInfo info;
    info.folderId = folderId;
    info.name = name;
    info.standard = folderId <= kStandardFolders;
    info.specialUse = SpecialUse(folderId, name);
    CMailboxRows::State ensured, synced;
    std::vector<MessageInfo> messages;
    if (!rows.EnsureState(folderId, name, ensured) || !rows.Sync(folderId, ensured, synced, messages))
        return Result<FolderInfo>::Fail(Error::Storage);
    info.uidValidity = synced.uidValidity;
    info.uidNext = synced.uidNext;
    info.messages = static_cast<std::uint32_t>(messages.size());
    for (const MessageInfo& m : messages)
        if (!(m.flags & kSeen)) ++info.unseen;
    return {Error::None, std::move(info)};
}

Result<std::vector<FolderInfo>> CSqlMailboxStore::ListFolders() {
    using R = Result<std::vector<FolderInfo>>;
    if (rows.AccountDirectory().empty()) return R::Fail(Error::Storage);
    MutexLock lock(CMailboxChanges::Lock(rows.AccountId()));
    std::vector<CMailboxRows::Folder> folders;
    if (!rows.ReadFolders(folders)) return R::Fail(Error::Storage);
    std::vector<FolderInfo> list;
    for (const CMailboxRows::Folder& folder : folders) {
        Result<FolderInfo> info = StatusLocked(folder.id, folder.name);
        if (!info.Ok()) return R::Fail(info.error);
        list.push_back(std::move(info.value));
    }
    return {Error::None, std::move(list)};
}

Result<std::vector<FolderInfo>> CSqlMailboxStore::FolderNames() {
    using R = Result<std::vector<FolderInfo>>;
    if (rows.AccountDirectory().empty()) return R::Fail(Error::Storage);
    std::vector<CMailboxRows::Folder> folders;
    if (!rows.ReadFolders(folders)) return R::Fail(Error::Storage);
    std::vector<FolderInfo> list;
    for (const CMailboxRows::Folder& folder : folders) list.push_back(Named(folder));
    return {Error::None, std::move(list)};
}

Result<FolderInfo> CSqlMailboxStore::FindFolder(const std::string& name) {
    std::vector<CMailboxRows::Folder> folders;
    if (!rows.ReadFolders(folders)) return Result<FolderInfo>::Fail(Error::Storage);
    for (const CMailboxRows::Folder& folder : folders)
        if (folder.name == name || (folder.id == 1 && EqualsNoCase(name, "Inbox"))) return {Error::None, Named(folder)};
    return Result<FolderInfo>::Fail(Error::NoSuchFolder);
}

Result<FolderInfo> CSqlMailboxStore::Status(int folderId) {
    MutexLock lock(CMailboxChanges::Lock(rows.AccountId()));
    std::string name;
    if (!rows.FolderName(folderId, name)) return Result<FolderInfo>::Fail(Error::NoSuchFolder);
    return StatusLocked(folderId, name);
}

Error CSqlMailboxStore::CheckNewName(const std::string& name, int except) {
    if (name.empty() || mailstore::CleanFolderName(name, mailstore::kMaxFolderName) != name)
        return Error::InvalidName;
    std::vector<CMailboxRows::Folder> folders;
    if (!rows.ReadFolders(folders)) return Error::Storage;
    // Two folders of one name would share a directory.
    for (const CMailboxRows::Folder& folder : folders)
        if (folder.id != except && EqualsNoCase(folder.name, name)) return Error::FolderExists;
    return Error::None;
}

Result<int> CSqlMailboxStore::CreateFolder(const std::string& name) {
    using R = Result<int>;
    const long account = rows.AccountId();
    MutexLock lock(CMailboxChanges::Lock(account));
    if (const Error error = CheckNewName(name, 0); error != Error::None) return R::Fail(error);
    if (rows.AccountDirectory().empty()) return R::Fail(Error::Storage);
    const int number = CMailboxRows::NextFolderNumber(rows.Connection(), account, kStandardFolders + 1, kMaxFolders);
    if (number <= 0 || !CMailboxRows::InsertFolderRow(rows.Connection(), account, number, name))
        return R::Fail(Error::Storage);
    CMailboxRows::State state;
    if (!mailstore::MakeDirectory(rows.FolderDirectory(name)) || !rows.EnsureState(number, name, state)) {
        // A folder without a directory could never hold a message.
        CMailboxRows::DeleteFolderRow(rows.Connection(), account, number);
        return R::Fail(Error::Storage);
    }
    CMailboxChanges::Bump(account);
    return {Error::None, number};
}

Result<bool> CSqlMailboxStore::RenameFolder(int folderId, const std::string& newName) {
    using R = Result<bool>;
    const long account = rows.AccountId();
    MutexLock lock(CMailboxChanges::Lock(account));
    std::string oldName;
    if (!rows.FolderName(folderId, oldName)) return R::Fail(Error::NoSuchFolder);
    if (folderId <= kStandardFolders) return R::Fail(Error::FolderProtected);
    if (const Error error = CheckNewName(newName, folderId); error != Error::None) return R::Fail(error);
    const std::string from = rows.FolderDirectory(oldName), to = rows.FolderDirectory(newName);
    if (from.empty() || to.empty()) return R::Fail(Error::Storage);
    // The directory and its files move as one; then the name.
    if (from != to && !RenameNoReplace(from, to)) return R::Fail(Error::Storage);
    OdbcPrepared statement(rows.Connection());
    if (!statement.Run("UPDATE FolderMapping SET FolderName = '%s' WHERE aAccountId = %ld AND FolderId = %d",
                       SqlText::Quote(newName), account, folderId)) {
        if (from != to) RenameNoReplace(to, from);
        return R::Fail(Error::Storage);
    }
    CMailboxRows::State state;
    rows.EnsureState(folderId, newName, state);
    CMailboxChanges::Bump(account);
    return {Error::None, true};
}

Result<bool> CSqlMailboxStore::DeleteFolder(int folderId) {
    using R = Result<bool>;
    const long account = rows.AccountId();
    MutexLock lock(CMailboxChanges::Lock(account));
    std::string name;
    if (!rows.FolderName(folderId, name)) return R::Fail(Error::NoSuchFolder);
    if (folderId <= kStandardFolders) return R::Fail(Error::FolderProtected);
    const std::string directory = rows.FolderDirectory(name);
    std::vector<std::string> ids;
    {
        OdbcPrepared statement(rows.Connection());
        if (!statement.Run("SELECT mMailId FROM Mails WHERE aAccountId = %ld AND mFolderId = %d", account, folderId))
            return R::Fail(Error::Storage);
        while (statement.Fetch()) {
            std::string id;
            if (statement.GetText(1, id)) ids.push_back(std::move(id));
        }
    }
    // Rows first, in one transaction where the connection allows, then the
    // files: never a row without its file.
    if (!rows.RunAll(
            {FormatSql("DELETE FROM Mails WHERE aAccountId = %ld AND mFolderId = %d", account, folderId),
             FormatSql("DELETE FROM MailInfo WHERE aAccountId = %ld AND mFolderId = %d", account, folderId),
             FormatSql("DELETE FROM MailboxMessageState WHERE aAccountId = %ld AND mFolderId = %d", account, folderId),
             FormatSql("DELETE FROM MailboxFolderState WHERE aAccountId = %ld AND FolderId = %d", account, folderId),
             FormatSql("Delete from FolderMapping where aAccountId=%ld and FolderId=%d", account, folderId)}))
        return R::Fail(Error::Storage);
    for (const std::string& id : ids) {
        const std::string path = mailstore::JoinPath(directory, id + ".mel");
        if (!path.empty()) ::unlink(path.c_str());
    }
    // Anything else in it (an unlisted file) keeps the directory.
    if (!directory.empty()) ::rmdir(directory.c_str());
    CMailboxChanges::Bump(account);
    return {Error::None, true};
}

Result<std::unique_ptr<CMailboxView>> CSqlMailboxStore::Open(int folderId, bool readOnly) {
    using R = Result<std::unique_ptr<CMailboxView>>;
    const long account = rows.AccountId();
    const std::uint64_t counter = CMailboxChanges::Counter(account);
    MutexLock lock(CMailboxChanges::Lock(account));
    std::string name;
    if (!rows.FolderName(folderId, name)) return R::Fail(Error::NoSuchFolder);
    CMailboxRows::State ensured, synced;
    std::vector<MessageInfo> messages;
    if (!rows.EnsureState(folderId, name, ensured) || !rows.Sync(folderId, ensured, synced, messages))
        return R::Fail(Error::Storage);
    return {Error::None,
            std::make_unique<CSqlMailboxView>(rows, folderId, synced, readOnly, std::move(messages), counter)};
}

Result<AppendResult> CSqlMailboxStore::Append(int folderId, CMailContent& content, std::uint32_t size,
                                              std::uint32_t flags, const std::vector<std::string>& keywords,
                                              std::time_t received) {
    using R = Result<AppendResult>;
    const long account = rows.AccountId();
    SQLHDBC connection = rows.Connection();
    std::string name;
    if (!rows.FolderName(folderId, name)) return R::Fail(Error::NoSuchFolder);
    const std::string directory = rows.FolderDirectory(name);
    if (directory.empty()) return R::Fail(Error::Storage);
    switch (mailstore::ReadIncomingRoom(connection, account).Check(size)) {
        case mailstore::IncomingRoom::Verdict::Fits:
            break;
        case mailstore::IncomingRoom::Verdict::OverReceiveLimit:
            return R::Fail(Error::TooBig);
        case mailstore::IncomingRoom::Verdict::OverMailboxLimit:
        case mailstore::IncomingRoom::Verdict::MailboxFull:
            return R::Fail(Error::OverQuota);
    }
    // Content that ended short of its size was cut off: nothing is stored.
    if (content.GetLength() < size) return R::Fail(Error::Storage);

    const std::string head = ReadHead(content, kMessageHeadBytes);
    const CMailHeader header(head.data(), head.size());
    mailstore::StoreRequest request;
    request.accountId = account;
    request.size = size;
    request.intoFolder = true;
    request.folderId = folderId;
    request.unread = !(flags & kSeen);
    // Sent and approval copies are listed by whom they went to.
    const bool byRecipient = folderId == kSent || folderId == kApprovalMail;
    request.sender = ListingValue(header, byRecipient ? "TO" : "FROM", "UnKnown");
    request.subject = ListingValue(header, "SUBJECT", "Unknown");
    std::string mailId;
    // The file and rows first, outside the lock (the file is synced). A
    // folder whose directory went missing gets it back.
    if (!mailstore::MakeDirectory(directory) ||
        !mailstore::StoreMessage(connection, directory, request, content, mailId).Stored())
        return R::Fail(Error::Storage);

    MutexLock lock(CMailboxChanges::Lock(account));
    CMailboxRows::State ensured, synced;
    std::vector<MessageInfo> messages;
    if (!rows.EnsureState(folderId, name, ensured) || !rows.Sync(folderId, ensured, synced, messages))
        return R::Fail(Error::Storage);
    AppendResult result{synced.uidValidity, 0};
    for (const MessageInfo& m : messages)
        if (m.mailId == mailId) result.uid = m.uid;
    std::vector<std::string> statements;
    const SqlText id = SqlText::Quote(mailId);
    if ((flags & CMailboxRows::kStoredFlags) || !keywords.empty())
        statements.push_back(FormatSql("UPDATE MailboxMessageState SET Flags = %u, Keywords = '%s' "
                                       "WHERE aAccountId = %ld AND mFolderId = %d AND mMailId = '%s'",
                                       flags & CMailboxRows::kStoredFlags,
                                       SqlText::Quote(CMailboxRows::JoinKeywords(keywords)), account, folderId, id));
    if (received > 0)
        statements.push_back(FormatSql("UPDATE Mails SET mRcvdTime = '%s' WHERE aAccountId = %ld AND mMailId = '%s' "
                                       "AND mFolderId = %d",
                                       SqlText::Quote(LocalDateTimeText(received)), account, id, folderId));
    // The message is stored; flags that could not be written are not worth
    // losing it over.
    rows.RunAll(statements);
    CMailboxChanges::Bump(account);
    return {Error::None, result};
}

std::uint64_t CSqlMailboxStore::ChangeCounter() const {
    return CMailboxChanges::Counter(rows.AccountId());
}

std::uint64_t CSqlMailboxStore::WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout, int stopFd) {
    return CMailboxChanges::Wait(rows.AccountId(), seen, timeout, stopFd);
}

}  // namespace mailbox
