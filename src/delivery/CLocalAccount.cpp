// CLocalAccount: construction, the mailbox store operations, storing into a
// folder, and the session lock.
#include "delivery/CLocalAccount.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/CAccountRows.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "message/CMailHeader.h"
#include "platform/MutexLock.h"
#include "platform/Text.h"
#include "store/CMailboxChanges.h"
#include "store/CMailboxRows.h"
#include "store/CStoredMail.h"
#include "store/IncomingRoom.h"
#include "store/MailStorePaths.h"
#include "store/MarkedDeletions.h"
#include "store/MessageStoring.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/DeliveryReceipts.h"
#include "delivery/ListingText.h"

namespace {

// Lock reads the flag and then sets it in two statements; within this
// process the pair runs under one mutex, so two sessions of the process
// cannot both see the account free.
Mutex g_lockMutex;

}  // namespace

CLocalAccount::CLocalAccount(SQLHDBC conn, long accountId)
    : record(CUserRecord::Fetch(conn, accountId)), connection(conn) {
    folders.resize(static_cast<std::size_t>(record->GetFolderCount()));
    mailDirectory = mailstore::ReadMailDirectory();
}

CLocalAccount::~CLocalAccount() {
    if (loggedIn) Unlock();
    if (deletionsPending) UndoDeletions();
}

CLocalAccount* CLocalAccount::Create(CAccountDatabase* owner, SQLHDBC connection, long accountId) {
    auto* account = new CLocalAccount(connection, accountId);
    account->owner = owner;
    return account;
}

CGeneratedMailPolicy CLocalAccount::MailPolicy() const {
    return generatedMailPolicy ? *generatedMailPolicy : CGeneratedMailPolicy::ForUnknownOrigin(owner);
}

std::string CLocalAccount::AccountDirectory() const {
    return mailstore::JoinPath(mailDirectory, record->GetMailBox());
}

std::string CLocalAccount::FolderDirectory(int folder) const {
    const char* name = record->GetFolderName(folder);
    if (!name) return {};
    return mailstore::JoinPath(AccountDirectory(), name);
}

CMailboxFolder* CLocalAccount::Folder(int folder) {
    if (folder < 1 || static_cast<std::size_t>(folder) > folders.size()) return nullptr;
    return &folders[static_cast<std::size_t>(folder) - 1];
}

CStoredMail* CLocalAccount::Entry(long message, int folder) {
    CMailboxFolder* list = Folder(folder);
    return list ? list->Entry(message) : nullptr;
}

bool CLocalAccount::PasswordMatches(const std::string& password) const {
    // An account that could not be read has no password to match, and an
    // empty password never opens a mailbox.
    return record->IsLoaded() && !password.empty() && password == record->GetPassword();
}

bool CLocalAccount::Login(const std::string& password) {
    if (!PasswordMatches(password)) return false;
    LoadAllFolders();
    return true;
}

long CLocalAccount::GetMessageCount(bool includeDeleted, int folder) {
    CMailboxFolder* list = Folder(folder);
    return list ? static_cast<long>(list->Count(includeDeleted)) : 0;
}

CMailContent* CLocalAccount::ReadMessage(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->ReadMessage(FolderDirectory(folder)) : nullptr;
}

bool CLocalAccount::MarkDeleted(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    if (!entry || entry->IsDeleted() || !entry->SetDeleted(true)) return false;
    deletionsPending = 1;
    return true;
}

std::uint32_t CLocalAccount::GetMessageSize(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->GetSize() : 0;
}

bool CLocalAccount::IsDeleted(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->IsDeleted() : true;
}

std::uint64_t CLocalAccount::GetFolderSize(int folder) {
    return mailstore::UndeletedFolderBytes(connection, record->GetAccountId(), folder);
}

bool CLocalAccount::PurgeFolder(int folder, bool removeFiles) {
    CMailboxFolder* list = Folder(folder);
    if (!list) return false;
    const char* name = record->GetFolderName(folder);
    const bool had = list->HasDeleted();
    const bool all = list->PurgeDeleted(name ? name : "", removeFiles);
    // Open mailbox views find the purged rows gone at their next refresh.
    if (had) CMailboxChanges::Bump(record->GetAccountId());
    return all;
}

bool CLocalAccount::CommitDeletions() {
    if (!deletionsPending) return true;
    const bool removeFiles = mailstore::RemovesDeletedFiles();
    bool all = true;
    for (int folder = 1; folder <= static_cast<int>(folders.size()); ++folder)
        if (!PurgeFolder(folder, removeFiles)) all = false;
    // Marks that could not be committed stay pending for a later attempt.
    if (all) deletionsPending = 0;
    return all;
}

bool CLocalAccount::UndoDeletions() {
    if (!deletionsPending) return true;
    // Every folder, not only Inbox and Sent: a mark left in any other
    // folder would hide its message from every later listing.
    bool all = true;
    for (CMailboxFolder& list : folders)
        if (!list.UndoDeletions()) all = false;
    deletionsPending = 0;
    return all;
}

std::string CLocalAccount::GetMessageId(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->GetMailId() : std::string();
}

bool CLocalAccount::Lock() {
    MutexLock guard(g_lockMutex);
    if (!CAccountRows::TakeSessionFlag(connection, GetAccountId())) return false;
    loggedIn = 1;
    return true;
}

bool CLocalAccount::Unlock() {
    // Only the holder releases: an object that never got the lock must not
    // free the account under another session.
    if (!loggedIn) return false;
    MutexLock guard(g_lockMutex);
    if (!CAccountRows::ReleaseSessionFlag(connection, GetAccountId())) return false;
    loggedIn = 0;
    return true;
}

void CLocalAccount::SetDotsCount(std::int32_t value) {
    dotsCount = value;
}

long CLocalAccount::GetMessageProperty(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->GetType() : 0;
}

CStoredMail* CLocalAccount::GetStoredMail(long message, int folder) {
    return Entry(message, folder);
}

bool CLocalAccount::LoadFolder(int folder) {
    CMailboxFolder* list = Folder(folder);
    if (!list) return false;
    return list->Load(connection, record->GetAccountId(), folder, AccountDirectory());
}

bool CLocalAccount::LoadAllFolders() {
    bool all = true;
    for (int folder = 1; folder <= static_cast<int>(folders.size()); ++folder)
        if (!LoadFolder(folder)) all = false;
    return all;
}

bool CLocalAccount::StoreInFolder(CMailContent* content, std::uint32_t length, int folder) {
    if (!content || length == 0) return false;
    const std::string directory = FolderDirectory(folder);
    if (directory.empty() || !Folder(folder)) return false;

    const std::string head = ReadHead(*content, kMessageHeadBytes);
    const CMailHeader header(head.data(), head.size());

    mailstore::StoreRequest request;
    request.accountId = record->GetAccountId();
    request.size = length;
    request.dotsCount = dotsCount;
    request.intoFolder = true;
    request.folderId = folder;
    // Sent and approval copies are listed by whom they went to.
    const bool byRecipient = folder == kSent || folder == kApprovalMail;
    request.sender = ListingValue(header, byRecipient ? "TO" : "FROM", "UnKnown");
    request.subject = ListingValue(header, "SUBJECT", "Unknown");
    const std::string docType(CMailHeader::TrimBlanks(header.GetField("X-QIRN-DOCTYPE")));
    request.type = EqualsNoCase(docType, "MEMO") ? 2 : 1;

    std::string mailId;
    const mailstore::StoreOutcome stored = mailstore::StoreMessage(connection, directory, request, *content, mailId);
    if (!stored.Stored()) {
        g_moduleLog.Write(StringPrintf("Mail for %s could not be stored in %s: %s", record->GetUserName().c_str(),
                                       directory.c_str(), stored.Reason().c_str()));
        return false;
    }
    // A loaded folder lists the new message at once.
    auto entry = std::make_unique<CStoredMail>(connection);
    if (entry->Load(mailId, folder, record->GetAccountId())) {
        entry->SetAccountDirectory(AccountDirectory());
        Folder(folder)->Insert(std::move(entry));
    }
    return true;
}

bool CLocalAccount::IsRead(long message, int folder) {
    CStoredMail* entry = Entry(message, folder);
    return entry ? entry->IsRead() : true;
}

bool CLocalAccount::MarkRead(int folder, long message) {
    CStoredMail* entry = Entry(message, folder);
    if (!entry || !entry->MarkRead()) return false;
    CMailboxChanges::Bump(record->GetAccountId());
    AnswerReadNotify(*entry, folder);
    return true;
}

bool CLocalAccount::MarkReadTogether(int folder, const std::vector<long>& messages) {
    std::vector<CStoredMail*> entries;
    for (long message : messages)
        if (CStoredMail* entry = Entry(message, folder)) entries.push_back(entry);
    if (entries.empty()) return messages.empty();
    if (!CStoredMail::MarkReadTogether(connection, entries)) return false;
    CMailboxChanges::Bump(record->GetAccountId());
    for (CStoredMail* entry : entries) AnswerReadNotify(*entry, folder);
    return entries.size() == messages.size();
}

void CLocalAccount::AnswerReadNotify(CStoredMail& marked, int folder) {
    CStoredMail* entry = &marked;
    // Every marking answers a request, also a second one: the reader asked
    // again, the sender is told again.
    std::unique_ptr<CMailContent> stored(entry->ReadMessage(FolderDirectory(folder)));
    if (stored) {
        const std::string head = ReadHead(*stored, kMessageHeadBytes);
        const CMailHeader header(head.data(), head.size());
        if (!CMailHeader::TrimBlanks(header.GetField("X-QIRN-Read-Notify")).empty())
            // Who sent the message and from where is not kept with it: the
            // confirmation goes to local addresses only.
            SendReadConfirmation(*record, header, CGeneratedMailPolicy::ForUnknownOrigin(owner));
    }
}

bool CLocalAccount::CreateFolder(const std::string& name) {
    // Only letters and digits reach the disk: no separators, no dots, no
    // blanks, so the directory is always a plain child of the account's.
    const std::string clean = mailstore::CleanFolderName(name, mailstore::kMaxFolderName);
    const std::string accountDirectory = AccountDirectory();
    if (clean.empty() || accountDirectory.empty()) return false;
    // Two folders of one name would share a directory.
    for (int folder = 1; folder <= record->GetFolderCount(); ++folder)
        if (EqualsNoCase(record->GetFolderName(folder), clean)) return false;

    // The next number after every folder the database knows, including one
    // another session may have made since this record was read.
    const int number =
        mailbox::CMailboxRows::NextFolderNumber(connection, GetAccountId(), record->GetFolderCount() + 1,
                                                CUserRecord::kMaxFolders);
    if (number <= 0 || !mailbox::CMailboxRows::InsertFolderRow(connection, GetAccountId(), number, clean)) return false;
    if (!mailstore::MakeDirectory(mailstore::JoinPath(accountDirectory, clean))) {
        // A folder without a directory could never hold a message.
        mailbox::CMailboxRows::DeleteFolderRow(connection, GetAccountId(), number);
        return false;
    }
    record->SetFolder(number, clean);
    folders.resize(static_cast<std::size_t>(record->GetFolderCount()));
    CMailboxChanges::Bump(record->GetAccountId());
    return true;
}

bool CLocalAccount::MoveMessage(long message, int sourceFolder, int targetFolder) {
    if (sourceFolder == targetFolder) return false;
    CMailboxFolder* source = Folder(sourceFolder);
    CMailboxFolder* target = Folder(targetFolder);
    CStoredMail* entry = Entry(message, sourceFolder);
    const std::string from = FolderDirectory(sourceFolder);
    const std::string to = FolderDirectory(targetFolder);
    if (!source || !target || !entry || from.empty() || to.empty()) return false;
    if (!entry->Move(from, to, targetFolder)) return false;
    // The layer's state row of the source goes at the next refresh; the
    // message is numbered anew in the target.
    CMailboxChanges::Bump(record->GetAccountId());
    // The entry now lives in the target folder's list.
    target->Insert(source->Take(message));
    return true;
}

bool CLocalAccount::RefreshFolder(int folder) {
    if (!Folder(folder)) return false;
    const bool purged = PurgeFolder(folder, mailstore::RemovesDeletedFiles());
    return LoadFolder(folder) && purged;
}

bool CLocalAccount::DeleteFolder(int folder) {
    // The standard folders are where delivery, sent copies and tasks go;
    // without them mail for the account would be lost.
    if (folder <= kStandardFolders) return false;
    CMailboxFolder* list = Folder(folder);
    if (!list || record->GetFolderName(folder) == std::string(CUserRecord::kNoFolder)) return false;
    // Loaded first, so that a folder nobody has listed yet is emptied too
    // rather than leaving its rows behind without a folder.
    if (!LoadFolder(folder)) return false;
    if (!list->MarkAllDeleted() || !PurgeFolder(folder, mailstore::RemovesDeletedFiles())) {
        // Whatever could not be removed is left marked for the next commit.
        if (list->HasDeleted()) deletionsPending = 1;
        return false;
    }
    list->Clear();
    if (!mailbox::CMailboxRows::DeleteFolderRow(connection, GetAccountId(), folder)) return false;
    // The number stays taken by a placeholder so other folders keep theirs;
    // its UID state goes, so that a folder made under it later is numbered
    // under a new validity.
    record->ClearFolder(folder);
    mailbox::CMailboxRows::DropFolderState(connection, GetAccountId(), folder);
    CMailboxChanges::Bump(record->GetAccountId());
    return true;
}

void CLocalAccount::Reserved() {}

int CLocalAccount::JunkFolder() {
    auto find = [this] {
        for (int folder = 1; folder <= record->GetFolderCount(); ++folder)
            if (EqualsNoCase(record->GetFolderName(folder), kJunkFolderName)) return folder;
        return 0;
    };
    int folder = find();
    if (folder == 0) {
        // Another delivery may have made it since this record was read (the
        // caller holds the mailbox lock, so none is making it now).
        auto fresh = std::make_unique<CUserRecord>(connection, record->GetAccountId());
        if (!fresh->IsLoaded()) return 0;
        record = std::move(fresh);
        folders.resize(static_cast<std::size_t>(record->GetFolderCount()));
        folder = find();
    }
    if (folder == 0) return CreateFolder(kJunkFolderName) ? find() : 0;
    // A folder whose directory went missing gets it back.
    return mailstore::MakeDirectory(FolderDirectory(folder)) ? folder : 0;
}
