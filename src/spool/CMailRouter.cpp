// CMailRouter: the routing procedure and its two entries (see the header).
#include "spool/CMailRouter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CLocalAccount.h"
#include "delivery/CMailMonitor.h"
#include "delivery/CSystemNotice.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "foundation/ProcessSettings.h"
#include "foundation/RegistryDirect.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "maillog/CMailLog.h"
#include "message/CMailHeader.h"
#include "outbound/COutboundQueue.h"
#include "platform/UniqueFd.h"
#include "spool/MailInfo.h"
#include "spool/MailRecipient.h"
#include "spool/SpoolFile.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

std::atomic<std::uint32_t> g_pendingOutbound{0};

// The sender's account name: the part before the first "@" unless that is
// at the very start, trimmed.
std::string SenderName(const std::string& sender) {
    const std::size_t at = sender.find('@');
    const std::string name = at != std::string::npos && at > 0 ? sender.substr(0, at) : sender;
    return std::string(CMailHeader::TrimBlanks(std::string_view(name)));
}

// 1 when a row was fetched (value set), 0 when none, -1 when the statement
// could not be allocated or run.
int FetchLong(SQLHDBC connection, const std::string& sql, std::int32_t& value) {
    OdbcStatement statement(connection);
    if (!statement.Ok()) return -1;
    SQLLEN indicator = 0;
    std::int32_t fetched = 0;
    if (!statement.ExecDirect(sql) || !statement.BindLong(1, fetched, &indicator)) return -1;
    if (!statement.Fetch() || indicator == SQL_NULL_DATA) return 0;
    value = fetched;
    return 1;
}

// The sender's SendMailLimit in kilobytes; 0 (no limit) when there is no
// account, no row, or a statement fails.
std::uint32_t SendingLimit(SQLHDBC connection, const std::string& sender) {
    const std::optional<long> id = CMailDatabase::AccountIdByName(connection, SenderName(sender));
    if (!id) return 0;
    std::int32_t limit = 0;
    if (FetchLong(connection, FormatSql("SELECT SendMailLimit from MailSizeControl WHERE aAccountId = %ld", *id),
                  limit) != 1 ||
        limit < 0)
        return 0;
    return static_cast<std::uint32_t>(limit);
}

// 1 allowed, 0 refused, -1 the statement could not even be allocated.
int MaySendOut(SQLHDBC connection, const std::string& sender) {
    bool failed = false;
    const std::optional<long> id = CMailDatabase::AccountIdByName(connection, SenderName(sender), &failed);
    if (failed) {
        OdbcStatement probe(connection);
        if (!probe.Ok()) return -1;
    }
    if (!id) return 1;
    std::int32_t allowWrite = 1;
    if (FetchLong(connection, FormatSql("SELECT aAllowWrite FROM AccessControl WHERE aAccountId = %ld", *id),
                  allowWrite) != 1)
        return 1;
    return allowWrite != 0 ? 1 : 0;
}

// The sending-quota notice to the envelope sender. False only when the
// temporary file for it could not be made (routing then waits).
bool SendSendingQuotaNotice(MailInfo& info, const CGeneratedMailPolicy& policy) {
    if (!policy.MaySendTo(info.sender)) return true;
    CTempMailContent notice;
    if (!notice.Open()) return false;
    const NoticeSource source = CSystemNotice::ReadSource(*info.content);
    // A notice that was too large for its sender is not answered by one.
    if (CSystemNotice::IsNoticeMailer(source.mailer)) return true;
    const auto kind = CSystemNotice::Kind::SendingQuotaExceeded;
    if (CSystemNotice::ComposeNotice(
            notice, info.sender, CSystemNotice::SubjectOf(kind), CSystemNotice::FirstSentenceOf(kind), false,
            source.date, CGeneratedMailPolicy::Quote(std::string(CMailHeader::TrimBlanks(std::string_view(source.to)))),
            source.subject))
        CSystemNotice::SendNotice(notice, info.sender);
    return true;
}

bool AllowMailMonitor() {
    DWORD value = 0;
    ReadRegistryDword(settings::kMailMonitorKeyPath, "AllowMailMonitor", value);
    return value != 0;
}

std::string FileIdentity(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return StringPrintf("%llu:%llu:%lld:%lld.%09ld", static_cast<unsigned long long>(info.st_dev),
                        static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_size),
                        static_cast<long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec));
}

}  // namespace

CMailRouter::CMailRouter(CAccountDatabase* database) : hostDatabase(database), spoolDirectory(spool::kSpoolDirectory) {}

CMailRouter::~CMailRouter() = default;

std::uint32_t CMailRouter::PendingOutbound() {
    return g_pendingOutbound.load();
}

std::uint32_t CMailRouter::ResetPendingOutbound() {
    return g_pendingOutbound.exchange(0);
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
    const std::string identity = FileIdentity(path);
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
        std::lock_guard<std::mutex> guard(attemptsLock);
        // Files that have gone or changed are forgotten.
        std::erase_if(attempts, [&](const auto& item) {
            return item.first != identity && FileIdentity(item.second.path) != item.first;
        });
        auto known = attempts.find(identity);
        if (known != attempts.end() && !identity.empty()) progress = known->second.progress;
    }

    Leftovers left;
    const std::string routed = RoutedLine(path.substr(path.rfind('/') + 1), *info);
    const bool complete = Route(*info, database->GetConnectionHandle(), database, true, progress, left, reason);
    if (complete) g_moduleLog.Write(routed);
    std::lock_guard<std::mutex> guard(attemptsLock);
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
    if (Route(*info, connection, database ? database : hostDatabase, false, progress, left, reason)) {
        g_moduleLog.Write(routed);
        return 1;
    }

    // Whatever could not be served goes to the spool directory, where the
    // spool processor tries it again.
    MailInfo retry;
    retry.sender = info->sender;
    retry.DotsCount = info->DotsCount;
    retry.mayRelay = info->mayRelay;
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

void CMailRouter::AddMonitors(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (std::none_of(monitorList.begin(), monitorList.end(),
                         [&](const std::string& held) { return EqualsNoCase(held, name); }))
            monitorList.push_back(name);
    }
}

void CMailRouter::NotifyNewMail(MailInfo& info, const std::string& user) {
    if (!newMail) return;
    newMail(ReadHead(*info.content, kNewMailHeadBytes), user);
}

bool CMailRouter::MakeAllMailCopy(MailInfo& info, std::string& problem) {
    std::string directory = ProcessSettings::Current().allMailLogMailBox;
    std::replace(directory.begin(), directory.end(), '\\', '/');
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

bool CMailRouter::Route(MailInfo& info, SQLHDBC connection, CAccountDatabase* database, bool spool, Progress& progress,
                        Leftovers& left, std::string& reason) {
    const ProcessSettings& settings = ProcessSettings::Current();
    if (!info.content) {
        // Nothing to deliver: nothing to keep either.
        return true;
    }
    auto fail = [&](const std::string& why) {
        if (!reason.empty()) reason += "; ";
        reason += why;
    };

    // Where mail generated because of this message may go, for the notice
    // here and for everything local delivery generates.
    const CGeneratedMailPolicy policy(info.sender, info.mayRelay, database);

    // Sending quota, in kilobytes: a message of exactly the limit passes.
    bool deliverRemote = true;
    const std::uint64_t limit = SendingLimit(connection, info.sender);
    info.content->Rewind();
    if (limit != 0 && limit * 1024 < info.content->GetLength()) {
        if (!progress.noticeSent) {
            if (!SendSendingQuotaNotice(info, policy)) {
                left.abandoned = true;
                fail("no temporary file for the sending-quota notice");
                return false;
            }
            progress.noticeSent = true;
        }
        deliverRemote = false;
    }

    if (spool && !settings.allMailLogMailBox.empty() && !progress.copyMade) {
        // The archive copy is not a delivery: its failure is logged and the
        // message goes on to its recipients.
        std::string problem;
        if (!MakeAllMailCopy(info, problem)) g_moduleLog.Write("*** " + problem);
        progress.copyMade = true;
    }

    CMailMonitor monitor;
    if (spool) {
        monitorList.clear();
        lastRecipient.clear();
        AddMonitors(monitor.FindSendMonitors(connection, {info.sender}));
    }

    std::unique_ptr<COutboundQueue> queueEntry;
    std::uint32_t queuedCount = 0;
    std::vector<std::pair<std::string, std::string>> queued;
    bool remoteOk = true;
    bool complete = true;

    for (std::size_t index = 0; index < info.recipients.size(); ++index) {
        std::unique_ptr<MailRecipient>& recipient = info.recipients[index];
        // An empty slot is nobody, not a remote recipient.
        if (!recipient) continue;
        if (recipient->account) {
            const std::string address = StringPrintf("%s@%s", recipient->user.c_str(), recipient->domain.c_str());
            if (!progress.localsDone.count(index)) {
                NotifyNewMail(info, recipient->user);
                if (spool) lastRecipient = address;
                recipient->account->SetDotsCount(info.DotsCount);
                recipient->account->SetGeneratedMailPolicy(&policy);
                recipient->account->Deliver(info.content.get(), info.content->GetLength());
                if (recipient->account->DeliveryFailed()) {
                    complete = false;
                    fail(recipient->account->GetDeliveryProblem());
                    left.recipients.push_back(std::move(recipient));
                    continue;
                }
                progress.localsDone.insert(index);
            } else if (spool) {
                lastRecipient = address;
            }
        } else {
            if (progress.remoteDone) {
                if (spool) lastRecipient = StringPrintf("%s@%s", recipient->user.c_str(), recipient->domain.c_str());
            } else {
                if (!queueEntry) {
                    if (!deliverRemote) continue;
                    if (settings.accessControl && MaySendOut(connection, info.sender) != 1) continue;
                    if (spool) g_moduleLog.WriteVerbose("Creating mail file");
                    queueEntry = std::make_unique<COutboundQueue>(kOutboxDirectory, connection);
                    if (spool) g_moduleLog.WriteVerbose("Creating mail file 1");
                    remoteOk = queueEntry->CreateMailFile();
                    if (spool) g_moduleLog.WriteVerbose(StringPrintf("setting mail from = %s", info.sender.c_str()));
                    remoteOk = remoteOk && queueEntry->SetSender(info.sender);
                    if (settings.routeAllMailsToPostmaster && !progress.postmasterDone && database) {
                        std::unique_ptr<CLocalAccount> postmaster(database->LookupLocalAccount("postmaster"));
                        if (postmaster) {
                            postmaster->SetDotsCount(info.DotsCount);
                            postmaster->SetGeneratedMailPolicy(&policy);
                            postmaster->Deliver(info.content.get(), info.content->GetLength());
                            if (postmaster->DeliveryFailed()) {
                                complete = false;
                                fail(postmaster->GetDeliveryProblem());
                                auto again = std::make_unique<MailRecipient>("postmaster", "");
                                again->account = std::move(postmaster);
                                left.recipients.push_back(std::move(again));
                            } else {
                                progress.postmasterDone = true;
                            }
                        } else {
                            progress.postmasterDone = true;
                        }
                    }
                }
                if (spool)
                    g_moduleLog.WriteVerbose(
                        StringPrintf("setting mail to = %s@%s", recipient->user.c_str(), recipient->domain.c_str()));
                remoteOk = remoteOk && queueEntry->AddRecipient(recipient->user, recipient->domain);
                ++queuedCount;
                queued.emplace_back(recipient->user, recipient->domain);
                if (settings.storeMailLog)
                    if (CMailLog* log = CMailLog::Installed())
                        log->LogSent(connection, info.sender,
                                     StringPrintf("%s@%s", recipient->user.c_str(), recipient->domain.c_str()),
                                     info.content.get());
                if (spool) lastRecipient = StringPrintf("%s@%s", recipient->user.c_str(), recipient->domain.c_str());
            }
        }
        // Monitors of the recipient, read afresh as the setting may change.
        if (spool && AllowMailMonitor()) AddMonitors(monitor.FindReceiveMonitors(connection, {lastRecipient}));
    }

    if (queueEntry) {
        remoteOk = remoteOk && queueEntry->WriteBody(*info.content);
        if (remoteOk) {
            g_pendingOutbound.fetch_add(queuedCount);
            g_moduleLog.Write(StringPrintf("Queued %s from <%s> for %u remote recipient(s)",
                                           queueEntry->FilePath().c_str(), info.sender.c_str(), queuedCount));
        } else {
            // Taken back whole: a later attempt queues the message again.
            queueEntry->Discard();
            complete = false;
            fail("the message could not be put on the outbound queue");
            for (auto& [user, domain] : queued)
                left.recipients.push_back(std::make_unique<MailRecipient>(user, domain));
        }
        queueEntry.reset();
    }
    if (remoteOk) progress.remoteDone = true;

    if (spool) {
        for (const std::string& name : monitorList) {
            if (name.empty() || progress.monitorsDone.count(FoldCase(name)) || !database) continue;
            std::unique_ptr<CLocalAccount> watcher(database->LookupLocalAccount(name));
            if (!watcher) {
                progress.monitorsDone.insert(FoldCase(name));
                continue;
            }
            watcher->SetGeneratedMailPolicy(&policy);
            watcher->Deliver(info.content.get(), info.content->GetLength());
            if (watcher->DeliveryFailed()) {
                complete = false;
                fail(watcher->GetDeliveryProblem());
            } else {
                progress.monitorsDone.insert(FoldCase(name));
            }
        }
    }
    return complete;
}
