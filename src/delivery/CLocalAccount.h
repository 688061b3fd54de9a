// CLocalAccount: one local account's delivery and mailbox object.
//
// Made by the account database for an account id and owned by whoever asked
// for it. The server modules call its operations through the virtual table,
// so the order of the virtual operations below is part of their interface:
// never reorder, only append. The mailbox operations (listing, reading,
// deletion marks, folders, the session lock) work on the account's folders
// in the mail store; the delivery operations run the per-account actions
// around the storing step.
#pragma once

#include <sql.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "store/CUserRecord.h"
#include "store/CMailboxFolder.h"
#include "store/IncomingRoom.h"
#include "store/MessageStoring.h"

class CAccountDatabase;
class CGeneratedMailPolicy;
class CMailContent;
class CMailHeader;
class CStoredMail;

class CLocalAccount {
public:
    CLocalAccount(SQLHDBC connection, long accountId);
    CLocalAccount(const CLocalAccount&) = delete;
    CLocalAccount& operator=(const CLocalAccount&) = delete;

    // Releases the session lock it holds and undoes uncommitted deletion marks.
    virtual ~CLocalAccount();
    // True when the password is the account's; then every folder is loaded.
    virtual bool Login(const std::string& password);
    // The password rule of Login alone, for sessions that read the mailbox
    // through the mailbox layer instead of this object's folder lists.
    bool PasswordMatches(const std::string& password) const;
    virtual long GetMessageCount(bool includeDeleted, int folder);
    // A new content the caller owns, or null.
    virtual CMailContent* ReadMessage(long message, int folder);
    virtual void Deliver(CMailContent* content, std::uint32_t length);
    virtual bool MarkDeleted(long message, int folder);
    virtual std::uint32_t GetMessageSize(long message, int folder);
    virtual bool IsDeleted(long message, int folder);
    // Bytes of the folder's undeleted messages; 0 on failure.
    virtual std::uint64_t GetFolderSize(int folder);
    virtual bool CommitDeletions();
    virtual bool UndoDeletions();
    virtual std::string GetMessageId(long message, int folder);
    // One session per account: true when this object now holds the account.
    virtual bool Lock();
    virtual bool Unlock();
    virtual void SetDotsCount(std::int32_t value);
    // The entry's message type (1 mail, 2 memo, 3 task item); 0 when missing.
    virtual long GetMessageProperty(long message, int folder);
    // The entry itself (owned by this object), or null.
    virtual CStoredMail* GetStoredMail(long message, int folder);
    virtual bool LoadAllFolders();
    virtual bool StoreInFolder(CMailContent* content, std::uint32_t length, int folder);
    virtual bool IsRead(long message, int folder);
    virtual bool MarkRead(int folder, long message);
    // The same for several messages of a folder, their rows in one commit.
    bool MarkReadTogether(int folder, const std::vector<long>& messages);
    virtual bool CreateFolder(const std::string& name);
    virtual bool MoveMessage(long message, int sourceFolder, int targetFolder);
    virtual bool RefreshFolder(int folder);
    virtual bool DeleteFolder(int folder);
    // Kept so the slots after it stay where the modules expect them.
    virtual void Reserved();
    // The three delivery steps return false only when the message could not
    // be kept for an account that should have it (a quota refusal is a
    // decision, not a failure); DeliveryFailed then says why.
    virtual bool DeliverToGroup(CMailContent* content, std::uint32_t length);
    virtual bool DeliverToAccount(CMailContent* content, std::uint32_t length);
    virtual bool DeliverToMailbox(CMailContent* content, std::uint32_t length);

    // Outcome of the last Deliver: true when the message could not be stored
    // for this account or one of its group's members, so the caller can keep
    // its own copy for another attempt. The reason is for the diagnostic log.
    bool DeliveryFailed() const { return deliveryFailed; }
    const std::string& GetDeliveryProblem() const { return deliveryProblem; }

    // What the account's mailbox takes now (the rule is the store's, shared
    // with a client's append). The SMTP server asks it before accepting, so
    // that mail the mailbox will refuse is refused while the sender can
    // still be told.
    using IncomingRoom = mailstore::IncomingRoom;
    // A group (its members have their own limits) and the task account
    // store nothing in a mailbox of their own: no limit.
    IncomingRoom GetIncomingRoom();

    // The factory the account database uses (see CMailDatabase); owner
    // resolves the addresses of generated mail.
    static CLocalAccount* Create(CAccountDatabase* owner, SQLHDBC connection, long accountId);

    // The generated-mail policy of the message the next Deliver brings (its
    // sender and relay right); not owned, kept until changed. Without one,
    // mail generated on delivery goes to local addresses only.
    void SetGeneratedMailPolicy(const CGeneratedMailPolicy* policy) { generatedMailPolicy = policy; }
    // The next Deliver files the message in the account's Junk folder (made
    // on first use) instead of the Inbox, and runs none of the account's
    // actions on it: spam is neither answered nor passed on. Kept until
    // changed.
    void SetJunk(bool value) { junk = value; }
    // The spool file's recipient the next Deliver serves: the copy it
    // stores in the account's own mailbox records it with its rows (copies
    // for a group's members and forwarded copies do not). Kept until changed.
    void SetServedMark(CSpoolServedRows::Mark mark) { servedMark = std::move(mark); }

    // The Junk folder's name, and its number for this account, the folder
    // made when it has none; 0 when it cannot be made.
    static constexpr const char* kJunkFolderName = "Junk";
    int JunkFolder();

    long GetAccountId() const { return record->GetAccountId(); }
    const std::string& GetUserName() const { return record->GetUserName(); }
    const CUserRecord& GetUserRecord() const { return *record; }
    const std::string& GetMailDirectory() const { return mailDirectory; }
    // "<Mail Directory>/<aMailBox>", or "" when either cannot be used.
    std::string AccountDirectory() const;
    // The folder's directory, or "" for a number without a usable folder.
    std::string FolderDirectory(int folder) const;
    std::int32_t GetDotsCount() const { return dotsCount; }
    bool IsLoggedIn() const { return loggedIn != 0; }
    bool HasPendingDeletions() const { return deletionsPending != 0; }

    // The standard folders every account has; they cannot be deleted.
    static constexpr int kInbox = 1;
    static constexpr int kSent = 2;
    static constexpr int kTask = 3;
    static constexpr int kRequest = 4;
    static constexpr int kApprovalMail = 7;
    static constexpr int kStandardFolders = 7;

private:
    // The read confirmation a marked message asks for (X-QIRN-Read-Notify).
    void AnswerReadNotify(CStoredMail& entry, int folder);
    CMailboxFolder* Folder(int folder);
    CStoredMail* Entry(long message, int folder);
    bool LoadFolder(int folder);
    bool PurgeFolder(int folder, bool removeFiles);
    // Task documents for the "procmgr" account.
    bool ProcessTaskDocument(CMailContent* content, std::uint32_t length);
    mailstore::StoreOutcome StoreTaskData(CMailContent& data, const std::string& taskId);
    void NoteFailure(const std::string& problem);
    CGeneratedMailPolicy MailPolicy() const;

    // Accounts already reached by the group delivery under way (shared by
    // the members a group builds), so a membership cycle ends and every
    // account gets one copy. Null outside a group delivery.
    std::set<long>* groupVisited = nullptr;
    const CGeneratedMailPolicy* generatedMailPolicy = nullptr;
    CAccountDatabase* owner = nullptr;  // not owned; null when made directly
    bool deliveryFailed = false;
    bool junk = false;
    CSpoolServedRows::Mark servedMark;
    std::string deliveryProblem;

    std::unique_ptr<CUserRecord> record;
    std::string mailDirectory;
    std::vector<CMailboxFolder> folders;
    SQLHDBC connection;
    std::int32_t dotsCount = 0;
    unsigned char deletionsPending = 0;
    unsigned char loggedIn = 0;
};
