// CMailRouter: the routing procedure and its two entries.
#include "spool/CMailRouter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "foundation/CAccountRows.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CLocalAccount.h"
#include "store/CMailMonitor.h"
#include "store/CSpoolServedRows.h"
#include "delivery/CSystemNotice.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CMailContent.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/ProcessSettings.h"
#include "foundation/RecordVersion.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "message/CMailHeader.h"
#include "outbound/COutboundQueue.h"
#include "platform/UniqueFd.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"
#include "spool/SpoolFile.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

// The sender's account name: the part before the first "@" unless that is
// at the very start, trimmed.
std::string SenderName(const std::string& sender) {
    const std::size_t at = sender.find('@');
    const std::string name = at != std::string::npos && at > 0 ? sender.substr(0, at) : sender;
    return std::string(CMailHeader::TrimBlanks(std::string_view(name)));
}

bool AllowMailMonitor() {
    return settings::Dword{settings::kMailMonitor, "AllowMailMonitor"}.Value() != 0;
}

// Set as the program loads: a spool file made later is this process's own,
// and no earlier run can have served any of its recipients. To the
// nanosecond: most of a busy start's files are made in its first second.
const timespec g_processStart = [] {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}();

bool FromEarlierRun(const struct stat& info) {
    return info.st_mtim.tv_sec != g_processStart.tv_sec ? info.st_mtim.tv_sec < g_processStart.tv_sec
                                                          : info.st_mtim.tv_nsec < g_processStart.tv_nsec;
}

std::string FileIdentity(const struct stat& info) {
    return StringPrintf("%llu:%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(info.st_dev),
                        static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_size),
                        static_cast<long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec));
}

std::string FileIdentity(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? FileIdentity(info) : std::string();
}

}  // namespace

// One attempt at one message. The policy says where mail generated because
// of this message may go, for the sending-quota notice and for everything
// local delivery generates.
struct CMailRouter::Routing {
    MailInfo& info;
    SQLHDBC connection;
    CAccountDatabase* database;
    const CGeneratedMailPolicy& policy;
    Progress& progress;
    Leftovers& left;
    std::string& reason;
    bool complete = true;
    bool deliverRemote = true;  // false over the sending quota
    // The Outbox entry of the remote recipients, made for the first of them.
    std::unique_ptr<COutboundQueue> queueEntry{};
    bool remoteOk = true;
    std::vector<std::pair<std::string, std::string>> queued{};
    // Accounts that get a monitoring copy, in order, each once.
    std::vector<std::string> monitors{};
    // The spool file's name and stamp for the served marks; empty for none.
    std::string spoolName{};
    std::string spoolStamp{};

    void Fail(const std::string& why) {
        complete = false;
        if (!reason.empty()) reason += "; ";
        reason += why;
    }
};

CMailRouter::CMailRouter(CAccountDatabase* database) : hostDatabase(database), spoolDirectory(spool::kSpoolDirectory) {}

CMailRouter::~CMailRouter() = default;

std::uint32_t CMailRouter::PendingOutbound() {
    return COutboundQueue::QueuedCount();
}

std::uint32_t CMailRouter::ResetPendingOutbound() {
    return COutboundQueue::ResetQueuedCount();
}

bool CMailRouter::RouteSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason) {
    return ProcessSpoolFile(path, database, reason);
}

std::string CMailRouter::RoutedLine(const std::string& what, const MailInfo& info) {
    std::size_t local = 0, remote = 0;
    for (const auto& recipient : info.recipients)
        if (recipient) ++(recipient->account ? local : remote);
    return StringPrintf("Routed %s from <%s>: %zu local, %zu remote recipient(s)", what.c_str(), info.sender.c_str(),
                        local, remote);
}

bool CMailRouter::ProcessSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason) {
    // One message's look-ups (its recipients, its sender) read the record
    // version once, as routing it begins.
    std::optional<RecordVersion::Pin> pin;
    if (database) pin.emplace(database->GetConnectionHandle());
    // One look at the file: its identity, its stamp, whether it is older than this process.
    struct stat file {};
    const bool present = ::stat(path.c_str(), &file) == 0;
    const std::string identity = present ? FileIdentity(file) : std::string();
    spool::ReadResult result = spool::ReadResult::Ok;
    std::unique_ptr<MailInfo> info = ReadSpoolFile(path, database, &result);
    if (!info) {
        reason = spool::ReadResultText(result);
        return false;
    }
    if (!database) {
        reason = "no account database";
        return false;
    }

    Progress progress;
    {
        MutexLock guard(attemptsLock);
        // Files that have gone or changed are forgotten.
        std::erase_if(attempts, [&](const auto& item) {
            return item.first != identity && FileIdentity(item.second.path) != item.first;
        });
        auto known = attempts.find(identity);
        if (known != attempts.end() && !identity.empty()) progress = known->second.progress;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string stamp = present && CSpoolServedRows::Recording()
                                  ? CSpoolServedRows::Stamp(static_cast<long long>(file.st_size), file.st_mtim)
                                  : std::string();
    // A file an earlier run left: the recipients it stored before it was
    // stopped are served already.
    if (!stamp.empty() && progress.localsDone.empty() && FromEarlierRun(file)) {
        const auto served = CSpoolServedRows::Served(database->GetConnectionHandle(), name, stamp);
        if (!served) {
            reason = "the served recipients cannot be read";
            return false;
        }
        for (long index : *served)
            if (index >= 0 && static_cast<std::size_t>(index) < info->recipients.size())
                progress.localsDone.insert(static_cast<std::size_t>(index));
    }

    Leftovers left;
    const std::string routed = RoutedLine(name, *info);
    const CGeneratedMailPolicy policy(info->sender, info->mayRelay, database);
    Routing routing{*info, database->GetConnectionHandle(), database, policy, progress, left, reason};
    routing.spoolName = name;
    routing.spoolStamp = stamp;
    const bool complete = RouteSpooled(routing);
    if (complete) g_moduleLog.Write(routed);
    MutexLock guard(attemptsLock);
    if (complete)
        attempts.erase(identity);
    else if (!identity.empty())
        attempts[identity] = Attempt{path, progress};
    return complete;
}

int CMailRouter::RouteMailInfo(std::unique_ptr<MailInfo> info, SQLHDBC connection, CAccountDatabase* database) {
    if (!info) return 1;
    Progress progress;
    Leftovers left;
    std::string reason;
    const std::string routed = RoutedLine("a message handed in by a module", *info);
    CAccountDatabase* accounts = database ? database : hostDatabase;
    const CGeneratedMailPolicy policy(info->sender, info->mayRelay, accounts);
    Routing routing{*info, connection, accounts, policy, progress, left, reason};
    if (RouteHandedIn(routing)) {
        g_moduleLog.Write(routed);
        return 1;
    }

    // Whatever could not be served goes to the spool directory, where the
    // spool processor tries it again.
    MailInfo retry;
    retry.sender = info->sender;
    retry.DotsCount = info->DotsCount;
    retry.mayRelay = info->mayRelay;
    retry.junk = info->junk;
    retry.content = std::move(info->content);
    if (left.abandoned)
        retry.recipients = std::move(info->recipients);
    else
        retry.recipients = std::move(left.recipients);
    std::string spooled;
    if (retry.content && WriteSpoolFile(retry, spoolDirectory, &spooled))
        g_moduleLog.Write(StringPrintf("*** Mail from %s not fully routed (%s); kept as %s for another attempt",
                                       info->sender.c_str(), reason.c_str(), spooled.c_str()));
    else
        g_moduleLog.Write(StringPrintf("*** Mail from %s not fully routed (%s) and could not be spooled again",
                                       info->sender.c_str(), reason.c_str()));
    return 1;
}

std::vector<std::string> CMailRouter::GetMonitorList() const {
    MutexLock guard(lastLock);
    return lastMonitors;
}

void CMailRouter::AddMonitors(std::vector<std::string>& list, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (std::none_of(list.begin(), list.end(), [&](const std::string& held) { return EqualsNoCase(held, name); }))
            list.push_back(name);
    }
}

void CMailRouter::NotifyNewMail(MailInfo& info, const std::string& user) {
    if (!newMail || (newMailWanted && !newMailWanted())) return;
    newMail(ReadHead(*info.content, kNewMailHeadBytes), user);
}

bool CMailRouter::MakeAllMailCopy(MailInfo& info, std::string& problem) {
    const std::string directory = ForwardSlashes(ProcessSettings::Current().allMailLogMailBox);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string stem =
        StringPrintf("%s/%d%d%d%d", directory.c_str(), local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    // Two messages in one second must not share a copy: later ones take a
    // numbered name.
    std::string path;
    UniqueFd file = CreateExclusive(
        [&](unsigned suffix) { return suffix == 0 ? stem + ".cnm" : StringPrintf("%s_%u.cnm", stem.c_str(), suffix); },
        10000, O_WRONLY, 0640, path);
    if (!file) {
        problem = StringPrintf("all-mail copy in %s: %s", directory.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<char> block(spool::kBlockSize);
    info.content->Rewind();
    for (int n; (n = info.content->Read(block.data(), spool::kBlockSize)) != 0;) {
        if (n < 0 || !WriteAll(file.Get(), block.data(), static_cast<std::size_t>(n))) {
            problem = StringPrintf("all-mail copy %s could not be written", path.c_str());
            file.Reset();
            ::unlink(path.c_str());
            return false;
        }
    }
    return true;
}

bool CMailRouter::RouteSpooled(Routing& routing) {
    if (!routing.info.content) return true;  // nothing to deliver: nothing to keep either
    if (!ApplySendingQuota(routing)) return false;
    CopyToAllMailBox(routing);
    CMailMonitor monitor;
    AddMonitors(routing.monitors, monitor.FindSendMonitors(routing.connection, {routing.info.sender}));
    ServeRecipients(routing, [&](const std::string& address, bool served) {
        // Monitors of the recipient, read afresh as the setting may change.
        if (served && AllowMailMonitor())
            AddMonitors(routing.monitors, monitor.FindReceiveMonitors(routing.connection, {address}));
    });
    FinishRemoteQueue(routing);
    DeliverMonitorCopies(routing);
    {
        MutexLock guard(lastLock);
        lastMonitors = routing.monitors;
    }
    return routing.complete;
}

bool CMailRouter::RouteHandedIn(Routing& routing) {
    if (!routing.info.content) return true;
    if (!ApplySendingQuota(routing)) return false;
    ServeRecipients(routing, {});
    FinishRemoteQueue(routing);
    return routing.complete;
}

bool CMailRouter::ApplySendingQuota(Routing& routing) {
    MailInfo& info = routing.info;
    // In kilobytes: a message of exactly the limit passes.
    const std::uint64_t limit = CAccountRows::SendingLimit(routing.connection, SenderName(info.sender));
    info.content->Rewind();
    if (limit == 0 || limit * 1024 >= info.content->GetLength()) return true;
    routing.deliverRemote = false;
    if (routing.progress.noticeSent) return true;
    // The notice to the envelope sender; only a missing temporary file for
    // it makes routing wait.
    const NoticeSource source = CSystemNotice::ReadSource(*info.content);
    const std::string summaryTo =
        CGeneratedMailPolicy::Quote(std::string(CMailHeader::TrimBlanks(std::string_view(source.to))));
    if (CSystemNotice::Send(CSystemNotice::Kind::SendingQuotaExceeded, source, info.sender, summaryTo,
                            routing.policy) == CSystemNotice::Outcome::NoTemporaryFile) {
        routing.left.abandoned = true;
        routing.Fail("no temporary file for the sending-quota notice");
        return false;
    }
    routing.progress.noticeSent = true;
    return true;
}

void CMailRouter::CopyToAllMailBox(Routing& routing) {
    if (ProcessSettings::Current().allMailLogMailBox.empty() || routing.progress.copyMade) return;
    // The archive copy is not a delivery: its failure is logged and the
    // message goes on to its recipients.
    std::string problem;
    if (!MakeAllMailCopy(routing.info, problem)) g_moduleLog.Write("*** " + problem);
    routing.progress.copyMade = true;
}

void CMailRouter::ServeRecipients(Routing& routing, const RecipientVisit& visit) {
    auto& recipients = routing.info.recipients;
    for (std::size_t index = 0; index < recipients.size(); ++index) {
        // An empty slot is nobody, not a remote recipient.
        if (!recipients[index]) continue;
        const std::string address =
            StringPrintf("%s@%s", recipients[index]->user.c_str(), recipients[index]->domain.c_str());
        bool served;
        if (recipients[index]->account) {
            served = DeliverLocal(routing, index);
        } else {
            served = QueueRemote(routing, *recipients[index]);
            if (!served) continue;  // not routed at all: not the last recipient either
        }
        if (visit) visit(address, served);
    }
}

bool CMailRouter::DeliverLocal(Routing& routing, std::size_t index) {
    if (routing.progress.localsDone.count(index)) return true;
    MailInfo& info = routing.info;
    std::unique_ptr<MailRecipient>& recipient = info.recipients[index];
    NotifyNewMail(info, recipient->user);
    recipient->account->SetDotsCount(info.DotsCount);
    recipient->account->SetGeneratedMailPolicy(&routing.policy);
    recipient->account->SetJunk(info.junk);
    if (!routing.spoolStamp.empty())
        recipient->account->SetServedMark({routing.spoolName, routing.spoolStamp, static_cast<long>(index)});
    recipient->account->Deliver(info.content.get(), info.content->GetLength());
    recipient->account->SetServedMark({});
    if (recipient->account->DeliveryFailed()) {
        routing.Fail(recipient->account->GetDeliveryProblem());
        routing.left.recipients.push_back(std::move(recipient));
        return false;
    }
    routing.progress.localsDone.insert(index);
    return true;
}

bool CMailRouter::QueueRemote(Routing& routing, MailRecipient& recipient) {
    if (routing.progress.remoteDone) return true;
    if (!routing.queueEntry && !OpenQueueEntry(routing)) return false;
    g_moduleLog.WriteVerbose(StringPrintf("setting mail to = %s@%s", recipient.user.c_str(), recipient.domain.c_str()));
    routing.remoteOk = routing.remoteOk && routing.queueEntry->AddRecipient(recipient.user, recipient.domain);
    routing.queued.emplace_back(recipient.user, recipient.domain);
    // Not yet sent: the sent-mail log hears of it once an exchanger or the
    // relay host has taken it (the send and receive cycle's delivery pass).
    return true;
}

bool CMailRouter::OpenQueueEntry(Routing& routing) {
    if (!routing.deliverRemote) return false;
    const std::string& sender = routing.info.sender;
    if (ProcessSettings::Current().accessControl &&
        CAccountRows::MaySendOut(routing.connection, SenderName(sender)) != true)
        return false;
    g_moduleLog.WriteVerbose("Creating mail file");
    routing.queueEntry = std::make_unique<COutboundQueue>(kOutboxDirectory, routing.connection);
    routing.queueEntry->SetTrusted(routing.info.mayRelay);
    routing.remoteOk = routing.queueEntry->CreateMailFile();
    g_moduleLog.WriteVerbose(StringPrintf("setting mail from = %s", sender.c_str()));
    routing.remoteOk = routing.remoteOk && routing.queueEntry->SetSender(sender);
    CopyToPostmaster(routing);
    return true;
}

void CMailRouter::CopyToPostmaster(Routing& routing) {
    if (!ProcessSettings::Current().routeAllMailsToPostmaster || routing.progress.postmasterDone || !routing.database)
        return;
    std::unique_ptr<CLocalAccount> postmaster(routing.database->LookupLocalAccount("postmaster"));
    if (!postmaster) {
        routing.progress.postmasterDone = true;
        return;
    }
    MailInfo& info = routing.info;
    postmaster->SetDotsCount(info.DotsCount);
    postmaster->SetGeneratedMailPolicy(&routing.policy);
    postmaster->Deliver(info.content.get(), info.content->GetLength());
    if (!postmaster->DeliveryFailed()) {
        routing.progress.postmasterDone = true;
        return;
    }
    routing.Fail(postmaster->GetDeliveryProblem());
    auto again = std::make_unique<MailRecipient>("postmaster", "");
    again->account = std::move(postmaster);
    routing.left.recipients.push_back(std::move(again));
}

void CMailRouter::FinishRemoteQueue(Routing& routing) {
    if (routing.queueEntry) {
        COutboundQueue& entry = *routing.queueEntry;
        const auto count = static_cast<std::uint32_t>(routing.queued.size());
        routing.remoteOk = routing.remoteOk && entry.WriteBody(*routing.info.content);
        if (routing.remoteOk) {
            COutboundQueue::CountQueued(count);
            g_moduleLog.Write(StringPrintf("Queued %s from <%s> for %u remote recipient(s)", entry.FilePath().c_str(),
                                           routing.info.sender.c_str(), count));
        } else {
            // Taken back whole: a later attempt queues the message again.
            entry.Discard();
            routing.Fail("the message could not be put on the outbound queue");
            for (auto& [user, domain] : routing.queued)
                routing.left.recipients.push_back(std::make_unique<MailRecipient>(user, domain));
        }
        routing.queueEntry.reset();
    }
    if (routing.remoteOk) routing.progress.remoteDone = true;
}

void CMailRouter::DeliverMonitorCopies(Routing& routing) {
    for (const std::string& name : routing.monitors) {
        if (name.empty() || routing.progress.monitorsDone.count(FoldCase(name)) || !routing.database) continue;
        std::unique_ptr<CLocalAccount> watcher(routing.database->LookupLocalAccount(name));
        if (!watcher) {
            routing.progress.monitorsDone.insert(FoldCase(name));
            continue;
        }
        watcher->SetGeneratedMailPolicy(&routing.policy);
        watcher->Deliver(routing.info.content.get(), routing.info.content->GetLength());
        if (watcher->DeliveryFailed())
            routing.Fail(watcher->GetDeliveryProblem());
        else
            routing.progress.monitorsDone.insert(FoldCase(name));
    }
}
