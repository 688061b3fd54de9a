// LocalDelivery: the delivery operations of CLocalAccount.
//
// Deliver picks the road for the account (group members, the task-document
// account "procmgr", or the account's own mailbox). Storing into the
// mailbox applies the account's size limits (kilobytes; the receiving-quota
// notice answers a refusal), writes the receive log, stores the message
// file with its rows and answers a delivery-receipt request. A message that
// cannot be stored is reported back (DeliveryFailed) instead of being lost:
// the router keeps its spooled copy for another attempt.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <vector>

#include "delivery/CAutoResponder.h"
#include "foundation/CAccountRows.h"
#include "delivery/CForwarding.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CLocalAccount.h"
#include "delivery/CNetwareExport.h"
#include "delivery/CSystemNotice.h"
#include "delivery/DeliveryReceipts.h"
#include "delivery/ListingText.h"
#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "store/TaskRows.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "maillog/CMailLog.h"
#include "message/CMailHeader.h"
#include "message/CMimeMessage.h"
#include "platform/MutexLock.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "store/MailStorePaths.h"
#include "store/MessageStoring.h"
#include "platform/FileIo.h"
#include "foundation/DateText.h"

namespace {

// A task query is one statement; a longer body is not one.
constexpr std::uint32_t kMaxQueryBytes = 65536;

// Checking a mailbox's room and storing into it happen under the account's
// lock: spool workers deliver at once, and two messages must not both pass
// a limit that only one of them fits. Accounts share 64 locks.
Mutex& MailboxLock(long accountId) {
    static Mutex locks[64];
    return locks[static_cast<unsigned long>(accountId) % 64];
}

// The bytes of messages that passed an account's room check and are not yet
// listed: a store waits for its group's commit, and the account's lock is
// not held that long. The room a check sees is less these bytes (a message
// just listed may count twice for a moment, never not at all, as long as
// the check reads these before the rows).
class PendingBytes {
public:
    PendingBytes(long account, std::uint64_t bytes) : account(account), bytes(bytes) {}
    ~PendingBytes() {
        if (!bytes) return;
        MutexLock guard(lock);
        auto found = pending.find(account);
        if (found != pending.end() && (found->second -= bytes) == 0) pending.erase(found);
    }
    PendingBytes(const PendingBytes&) = delete;
    PendingBytes& operator=(const PendingBytes&) = delete;
    // Under the account's lock: the bytes others have reserved.
    static std::uint64_t Of(long account) {
        MutexLock guard(lock);
        auto found = pending.find(account);
        return found == pending.end() ? 0 : found->second;
    }
    void Reserve() {
        MutexLock guard(lock);
        pending[account] += bytes;
    }

private:
    static inline Mutex lock;
    static inline std::map<long, std::uint64_t> pending;
    long account;
    std::uint64_t bytes;
};

// The content type without its parameters, lower case.
std::string BareType(const std::string& contentType) {
    return FoldCase(std::string(Trim(std::string_view(contentType).substr(0, contentType.find(';')))));
}

// Running SQL that arrives by mail is an administrator's explicit choice.
bool TaskQueriesAllowed() {
    return settings::Dword{settings::kPreferences, "AllowTaskQueries"}.Value() == 1;
}

// The id of the account named by the part of address before "@", or -1.
long AccountIdOf(SQLHDBC connection, const std::string& address) {
    std::string name = address.substr(0, address.find('@'));
    name = std::string(CMailHeader::TrimBlanks(std::string_view(name)));
    if (name.empty()) return -1;
    return CAccountRows::AccountIdByName(connection, name).value_or(-1);
}

// The named part of a message, extracted into its own temporary file.
std::unique_ptr<CMimeMessage> ExtractPart(CMailContent& content, const std::string& name) {
    auto part = std::make_unique<CMimeMessage>();
    content.Rewind();
    if (!part->Parse(&content, name) || !part->GetBody()) return nullptr;
    return part;
}

// The Netware exchange of an account that has one: true when the client's
// file is the account's only copy. A failed export is logged and the
// message goes into the mailbox as if there were none.
bool ExportedToNetware(SQLHDBC connection, const CUserRecord& record, CMailContent& content, std::uint32_t length) {
    const std::optional<NetwareSettings> settings =
        CNetwareExport::LoadNetwareSettings(connection, record.GetAccountId());
    if (!settings) return false;
    std::string path, problem;
    const CNetwareExport::Result result =
        CNetwareExport::ExportToNetware(*settings, content, length, std::time(nullptr), &path, problem);
    if (result == CNetwareExport::Result::Failed) {
        g_moduleLog.Write(StringPrintf("*** Netware export for %s failed (%s); the message goes into its mailbox",
                                       record.GetUserName().c_str(), problem.c_str()));
        return false;
    }
    g_moduleLog.Write(StringPrintf("Exported %s for %s", path.c_str(), record.GetUserName().c_str()));
    return result == CNetwareExport::Result::Taken;
}

}  // namespace

void CLocalAccount::NoteFailure(const std::string& problem) {
    deliveryFailed = true;
    if (!deliveryProblem.empty()) deliveryProblem += "; ";
    deliveryProblem += problem;
}

void CLocalAccount::Deliver(CMailContent* content, std::uint32_t length) {
    deliveryFailed = false;
    deliveryProblem.clear();
    if (!content || length == 0) return;
    if (record->IsGroup())
        DeliverToGroup(content, length);
    else
        DeliverToAccount(content, length);
}

bool CLocalAccount::DeliverToGroup(CMailContent* content, std::uint32_t length) {
    std::set<long> own;
    std::set<long>* visited = groupVisited ? groupVisited : &own;
    visited->insert(record->GetAccountId());

    std::vector<long> members;
    if (!CAccountRows::GroupMembers(connection, record->GetAccountId(), members)) {
        NoteFailure(StringPrintf("the members of group %s could not be read", record->GetUserName().c_str()));
        return false;
    }
    for (long id : members) {
        // A group reached again (a membership cycle) or an account already
        // served through another group gets no further copy.
        if (!visited->insert(id).second) continue;
        CLocalAccount member(connection, id);
        if (!member.GetUserRecord().IsLoaded()) {
            // A membership row left behind by a deleted account: nobody to
            // deliver to, and no reason to keep the message for it.
            g_moduleLog.Write(StringPrintf("Group %s names account %ld, which does not exist; skipped",
                                           record->GetUserName().c_str(), id));
            continue;
        }
        member.groupVisited = visited;
        member.owner = owner;
        member.generatedMailPolicy = generatedMailPolicy;
        member.junk = junk;
        member.SetDotsCount(dotsCount);
        member.Deliver(content, length);
        if (member.DeliveryFailed()) NoteFailure(member.GetDeliveryProblem());
    }
    return !deliveryFailed;
}

bool CLocalAccount::DeliverToAccount(CMailContent* content, std::uint32_t length) {
    // Whatever goes wrong inside stays with this account: other recipients
    // are still served, and the caller learns that this one was not.
    try {
        if (record->GetUserName() == "procmgr") return ProcessTaskDocument(content, length);
        return DeliverToMailbox(content, length);
    } catch (const std::exception& error) {
        NoteFailure(StringPrintf("delivery to %s failed: %s", record->GetUserName().c_str(), error.what()));
    } catch (...) {
        NoteFailure(StringPrintf("delivery to %s failed", record->GetUserName().c_str()));
    }
    return false;
}

CLocalAccount::IncomingRoom CLocalAccount::GetIncomingRoom() {
    if (IncomingRoom::Exempt(record->IsGroup(), record->GetUserName())) return IncomingRoom();
    // Limits in kilobytes, 0 for none.
    const std::uint64_t mailboxLimit = record->GetMailboxLimit();
    return IncomingRoom::FromLimits(record->GetRecvmailLimit(), mailboxLimit,
                                    mailboxLimit != 0 ? GetFolderSize(kInbox) : 0);
}

bool CLocalAccount::DeliverToMailbox(CMailContent* content, std::uint32_t length) {
    if (!content || length == 0) return true;
    const std::string head = ReadHead(*content, kMessageHeadBytes);
    const CMailHeader header(head.data(), head.size());

    MutexLock mailboxLock(MailboxLock(record->GetAccountId()));
    // The reservations before the rows: a store commits its rows before it
    // lets its reservation go, so read in this order it is seen in one or
    // the other (read the other way round, in neither).
    const std::uint64_t pending = PendingBytes::Of(record->GetAccountId());
    IncomingRoom room = GetIncomingRoom();
    if (room.mailboxRoom != IncomingRoom::kUnlimited) room.mailboxRoom -= std::min(room.mailboxRoom, pending);
    const IncomingRoom::Verdict verdict = room.Check(length);
    const bool tooLarge = verdict == IncomingRoom::Verdict::OverReceiveLimit;
    if (verdict != IncomingRoom::Verdict::Fits) {
        mailboxLock.unlock();
        g_moduleLog.Write(StringPrintf("Mail for %s refused: %s", record->GetUserName().c_str(),
                                       tooLarge ? "larger than its receiving limit"
                                       : verdict == IncomingRoom::Verdict::OverMailboxLimit
                                           ? "larger than its whole mailbox"
                                           : "its mailbox is full"));
        // A notice that does not fit is not answered with another notice.
        // It goes to the envelope sender: the header "From" is the
        // message's own claim and may name anybody.
        const CGeneratedMailPolicy policy = MailPolicy();
        CSystemNotice::Send(CSystemNotice::Kind::ReceivingQuotaExceeded, CSystemNotice::SourceOf(header),
                            policy.EnvelopeSender(), record->GetEmailId(), policy);
        return true;
    }
    // The room is taken until the rows list the message; the lock goes.
    PendingBytes reserved(record->GetAccountId(), room.mailboxLimit != IncomingRoom::kUnlimited ? length : 0);
    if (room.mailboxLimit != IncomingRoom::kUnlimited) reserved.Reserve();
    mailboxLock.unlock();

    // The mail log's row commits with the stored copy's rows: no commit of
    // its own, and a copy that could not be stored is logged when it is.
    // Mail that leaves no copy here gets its row at once.
    std::string logRow;
    if (ProcessSettings::Current().storeMailLog)
        if (CMailLog* log = CMailLog::Installed()) log->LogReceived(connection, record->GetUserName(), content, &logRow);

    // A message with a head meets the account's actions first, in this
    // order: the auto-responder, forwarding, the Netware export. Junk meets
    // none of them.
    if (!head.empty() && !junk) {
        if (CAutoResponder::IsOn(connection, record->GetAccountId()))
            CAutoResponder::Respond(connection, *record, mailDirectory, header, MailPolicy());
        // Every forward handed over and no copy wanted: the account keeps none.
        if (!CForwarding::ForwardDelivered(*record, connection, head, *content, length, MailPolicy()) ||
            ExportedToNetware(connection, *record, *content, length)) {
            CMailLog::WriteRow(connection, logRow);
            return true;
        }
    }

    const int folder = junk ? JunkFolder() : kInbox;
    const std::string directory = folder > 0 ? FolderDirectory(folder) : std::string();
    if (directory.empty()) {
        NoteFailure(StringPrintf("account %s has no usable %s directory", record->GetUserName().c_str(),
                                 junk ? kJunkFolderName : "Inbox"));
        return false;
    }
    mailstore::StoreRequest request;
    if (folder != kInbox) {
        request.intoFolder = true;
        request.folderId = folder;
        request.unread = true;
    }
    request.accountId = record->GetAccountId();
    request.size = length;
    request.dotsCount = dotsCount;
    request.served = servedMark;
    if (!logRow.empty()) request.withRows.push_back(std::move(logRow));
    request.sender = ListingValue(header, "FROM", "UnKnown");
    request.subject = ListingValue(header, "SUBJECT", "Unknown");
    const std::string docType(CMailHeader::TrimBlanks(header.GetField("X-QIRN-DOCTYPE")));
    request.type = EqualsNoCase(docType, "MEMO") ? 2 : 1;

    std::string mailId;
    const mailstore::StoreOutcome stored = mailstore::StoreMessage(connection, directory, request, *content, mailId);
    if (stored.result == mailstore::StoreResult::FileFailed) {
        NoteFailure(StringPrintf("mail for %s could not be written into %s: %s", record->GetUserName().c_str(),
                                 directory.c_str(), stored.Reason().c_str()));
        return false;
    }
    if (stored.result == mailstore::StoreResult::RowsFailed) {
        // The store took its file back unless a row may list it; the
        // message is kept for another attempt.
        NoteFailure(StringPrintf("mail for %s could not be listed in the database", record->GetUserName().c_str()));
        return false;
    }

    g_moduleLog.Write(StringPrintf("Stored %s for %s (%u bytes)%s", mailId.c_str(), record->GetUserName().c_str(),
                                   static_cast<unsigned>(length), junk ? " as junk" : ""));

    if (!head.empty() && !CMailHeader::TrimBlanks(header.GetField("X-QIRN-Receipt")).empty())
        SendDeliveryConfirmation(*record, header, MailPolicy());
    return true;
}

bool CLocalAccount::ProcessTaskDocument(CMailContent* content, std::uint32_t length) {
    if (!content || length == 0) return true;
    CMimeMessage document;
    content->Rewind();
    if (!document.Parse(content, "") || !document.GetHeader()) {
        NoteFailure("a task document could not be read into a temporary file");
        return false;
    }
    const CMailHeader& header = *document.GetHeader();
    const std::string recipient(CMailHeader::TrimBlanks(header.GetField("X-QIRN-Recipient")));
    const std::string taskId(CMailHeader::TrimBlanks(header.GetField("X-QIRN-TaskID")));
    const std::string originator(CMailHeader::TrimBlanks(header.GetField("X-QIRN-Originator")));
    // The task id names files: only a plain file name is used.
    const bool usableId = mailstore::IsSafeName(taskId) && taskId.size() <= 200;
    const long recipientId = recipient.empty() ? -1 : AccountIdOf(connection, recipient);

    std::unique_ptr<CLocalAccount> target;
    if (recipientId >= 0) target = std::make_unique<CLocalAccount>(connection, recipientId);

    if (target && usableId) {
        // The request entry gets an empty message file of its own, so the
        // row never points at a file that is not there; an existing file
        // means this document was recorded before.
        const std::string path = mailstore::JoinPath(target->FolderDirectory(kRequest), taskId + ".mel");
        UniqueFd file(path.empty() ? -1
                                   : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640));
        // Its name is on the disk before a row lists it, as for every stored message.
        if (file && (::fsync(file.Get()) != 0 || !SyncDirectory(target->FolderDirectory(kRequest)))) {
            const mailstore::StoreOutcome failed = mailstore::FileFailure(errno);
            file.Reset();
            ::unlink(path.c_str());
            g_moduleLog.Write(StringPrintf("Task request %s for %s could not be stored: %s", taskId.c_str(),
                                           target->GetUserName().c_str(), failed.Reason().c_str()));
        } else if (file) {
            file.Reset();
            if (!mailstore::InsertTaskRequestRow(connection, taskId, recipientId, std::time(nullptr)))
                ::unlink(path.c_str());
        } else if (path.empty() || errno != EEXIST) {
            const mailstore::StoreOutcome failed = mailstore::FileFailure(path.empty() ? ENOENT : errno);
            g_moduleLog.Write(StringPrintf("Task request %s for %s could not be stored: %s", taskId.c_str(),
                                           target->GetUserName().c_str(), failed.Reason().c_str()));
        }
    } else if (!recipient.empty()) {
        g_moduleLog.Write(StringPrintf("Task document for %s from %s: no such account or no usable task id",
                                       recipient.c_str(), originator.c_str()));
    }

    const std::vector<CMimeAttachment> parts = document.GetAttachments();
    for (const CMimeAttachment& part : parts) {
        const std::string type = BareType(part.contentType);
        if (type == "qirn/query") {
            if (!TaskQueriesAllowed()) {
                g_moduleLog.Write(StringPrintf("Task query from %s refused: Preferences/AllowTaskQueries is not 1",
                                               originator.empty() ? "an unnamed originator" : originator.c_str()));
                continue;
            }
            std::unique_ptr<CMimeMessage> extracted = ExtractPart(*content, part.name);
            if (!extracted) continue;
            std::string query = ReadHead(*extracted->GetBody(), kMaxQueryBytes);
            query.resize(std::strlen(query.c_str()));
            const std::string failure = mailstore::RunTaskQuery(connection, query);
            if (!failure.empty()) g_moduleLog.Write("Task query failed: " + failure);
        } else if (type == "qirn/data") {
            if (!target || !usableId) continue;
            std::unique_ptr<CMimeMessage> extracted = ExtractPart(*content, part.name);
            if (!extracted) {
                NoteFailure("a task data part could not be read into a temporary file");
                continue;
            }
            const mailstore::StoreOutcome stored = target->StoreTaskData(*extracted->GetBody(), taskId);
            if (!stored.Stored())
                NoteFailure(StringPrintf("task data %s for %s could not be stored: %s", taskId.c_str(),
                                         target->GetUserName().c_str(), stored.Reason().c_str()));
        }
    }
    return !deliveryFailed;
}

mailstore::StoreOutcome CLocalAccount::StoreTaskData(CMailContent& data, const std::string& taskId) {
    return mailstore::StoreTaskItem(connection, FolderDirectory(kTask), record->GetAccountId(), taskId, data);
}
