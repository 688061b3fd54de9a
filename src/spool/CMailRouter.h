// CMailRouter: routing of one message in transit to its recipients.
//
// Recipients that carry a local account are delivered at once into that
// account; all others go on the outbound queue as one Outbox file with one
// OutBoundMails row each. Around that: the sender's sending quota (with its
// notice), the access-control right to send out, the postmaster copy, the
// mail log, the all-mail copy and the mail-monitor copies.
//
// Routing is a sequence of named steps: the sending quota, the all-mail
// copy, local delivery, the remote queue with the postmaster copy, and the
// monitor copies. Each caller has its own entry composing the steps it
// needs: ProcessSpoolFile for a file of the spool directory (all of them;
// the spool processor deletes the file only when it returns true), and
// RouteMailInfo for a message a server module hands to the file event sink
// (0x403; no all-mail copy and no monitor copies).
//
// Nothing is lost on the way: a spool file is reported routed only when
// every recipient has been served. When a recipient could not be (its
// message file could not be written, the queue could not be written), the
// file stays for a later scan and the reason goes to the diagnostic log; the
// router remembers which recipients of that file were served, so a later
// attempt serves only the rest while the process runs. A local recipient's
// stored copy is also recorded with the copy's rows (CSpoolServedRows), so
// after a restart it is not stored again either.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/OdbcEnvironment.h"
#include "platform/MutexLock.h"
#include "spool/CSpoolRouter.h"

class CAccountDatabase;
class MailInfo;
class MailRecipient;

class CMailRouter : public CSpoolRouter {
public:
    // The new-mail notice for a local recipient's client: the message's
    // first bytes and the recipient's user name (window message 0x412).
    using NewMailNotifier = std::function<void(std::string head, std::string user)>;
    static constexpr std::uint32_t kNewMailHeadBytes = 6144;
    static constexpr const char* kOutboxDirectory = "Outbox";

    // hostDatabase: the server host's account database, used by
    // RouteMailInfo for the postmaster copy; not owned.
    explicit CMailRouter(CAccountDatabase* hostDatabase = nullptr);
    ~CMailRouter() override;

    // The spool processor's entry: ProcessSpoolFile.
    bool RouteSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason) override;
    // Routes the spool file at path; true when every recipient was served
    // and the file may go. false leaves it, with the reason.
    bool ProcessSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason);
    // Routes a handed-over message on the given connection; returns 1. What
    // could not be served is written to the spool directory for the spool
    // processor to try again. database (else the one given at construction)
    // finds the postmaster.
    int RouteMailInfo(std::unique_ptr<MailInfo> info, SQLHDBC connection, CAccountDatabase* database = nullptr);

    // wanted, when given, says whether anyone takes the notice now; without
    // a taker no head is read.
    void SetNewMailNotifier(NewMailNotifier notifier, std::function<bool()> wanted = {}) {
        newMail = std::move(notifier);
        newMailWanted = std::move(wanted);
    }
    void SetSpoolDirectory(std::string directory) { spoolDirectory = std::move(directory); }

    // Of the spooled message routed last (several workers route at once):
    // the accounts that got a monitoring copy, in order, each once.
    std::vector<std::string> GetMonitorList() const;

    // Remote recipients queued since the last reset, for the send-on-count
    // trigger of the send and receive cycle.
    static std::uint32_t PendingOutbound();
    // Sets the count back to 0 and returns what it was.
    static std::uint32_t ResetPendingOutbound();

    // Progress of one message through routing. Kept per spool file between
    // attempts; fresh for every RouteMailInfo.
    struct Progress {
        bool noticeSent = false;
        bool copyMade = false;
        bool remoteDone = false;
        bool postmasterDone = false;
        std::set<std::size_t> localsDone;
        std::set<std::string> monitorsDone;  // lower case
    };

private:
    // What an attempt could not do, for the caller to keep.
    struct Leftovers {
        std::vector<std::unique_ptr<MailRecipient>> recipients;
        bool abandoned = false;  // nothing was routed
    };
    // One attempt at one message: what its steps share.
    struct Routing;
    // Called for each recipient routing reached: its address, and whether it
    // was served.
    using RecipientVisit = std::function<void(const std::string& address, bool served)>;

    // The two entries' compositions of the steps.
    bool RouteSpooled(Routing& routing);
    bool RouteHandedIn(Routing& routing);

    // The steps, in the order routing takes them.
    // False when routing must wait (the notice could not be made).
    bool ApplySendingQuota(Routing& routing);
    void CopyToAllMailBox(Routing& routing);
    void ServeRecipients(Routing& routing, const RecipientVisit& visit);
    // False when the recipient could not be served now (kept as a leftover).
    bool DeliverLocal(Routing& routing, std::size_t index);
    // False when the recipient is not queued (over the quota, no right).
    bool QueueRemote(Routing& routing, MailRecipient& recipient);
    bool OpenQueueEntry(Routing& routing);
    void CopyToPostmaster(Routing& routing);
    void FinishRemoteQueue(Routing& routing);
    void DeliverMonitorCopies(Routing& routing);

    bool MakeAllMailCopy(MailInfo& info, std::string& problem);
    static void AddMonitors(std::vector<std::string>& list, const std::vector<std::string>& names);
    void NotifyNewMail(MailInfo& info, const std::string& user);
    // The default log's one line for a routed message.
    static std::string RoutedLine(const std::string& what, const MailInfo& info);

    CAccountDatabase* hostDatabase;
    NewMailNotifier newMail;
    std::function<bool()> newMailWanted;
    std::string spoolDirectory;
    mutable Mutex lastLock;  // the monitors of the last message routed
    std::vector<std::string> lastMonitors GUARDED_BY(lastLock);
    // Spool files with recipients still to serve, by the file's identity
    // (device, inode, size, modification time), so that however the file is
    // named the progress is found, and a new file under an old name starts
    // afresh.
    struct Attempt {
        std::string path;
        Progress progress;
    };
    Mutex attemptsLock;  // each spool file's routing progress
    std::map<std::string, Attempt> attempts GUARDED_BY(attemptsLock);
};
