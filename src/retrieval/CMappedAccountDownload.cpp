// CMappedAccountDownload: the steps of one mapped account's pass.
#include "retrieval/CMappedAccountDownload.h"

#include <algorithm>
#include <memory>

#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CSystemNotice.h"
#include "foundation/CFetchedUidls.h"
#include "foundation/CTempMailContent.h"
#include "store/CMappedAccounts.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CMailHeader.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "platform/Text.h"
#include "foundation/CModuleLog.h"
#include "retrieval/CPop3Connection.h"
#include "smtp/CLocalHandBack.h"
#include "smtp/CSmtpConnection.h"

namespace {

constexpr int kDefaultPort = 110;
// A server may announce a size a little below what it sends (line ends);
// past the limit by more than this, a retrieval gives up.
constexpr std::uint64_t kSizeSlack = 64 * 1024;

// A header value for one line of a notice.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
    return CGeneratedMailPolicy::Quote(std::string(Trim(text)));
}

std::string LocalAddress(const std::string& user) {
    return user + "@" + CSmtpConnection::kLocalHost;
}

}  // namespace

CMappedAccountDownload::CMappedAccountDownload(const MappedAccountJob& job, const Context& context)
    : job(job), context(context), storedLastId(job.lastMailId) {}

bool CMappedAccountDownload::Stopping() const {
    return context.stop && context.stop->Raised();
}

void CMappedAccountDownload::Status(const std::string& text) {
    if (context.status) context.status->Post(StatusWindow::kStatusLine, 0, text, 0);
}

void CMappedAccountDownload::Run() {
    CPop3Connection pop;
    pop.SetReceiveBufferSize(context.receiveBufferSize);
    pop.SetStopSignal(context.stop);
    if (job.sizeLimitKb > 0) pop.SetMaxMessageBytes(static_cast<std::uint64_t>(job.sizeLimitKb) * 1024 + kSizeSlack);
    const int port = job.port >= 1 && job.port <= 65535 ? job.port : kDefaultPort;
    pop.SetRequireTls(CPop3Connection::TlsRequiredBySettings());
    if (!pop.Connect(job.server, static_cast<std::uint16_t>(port))) {
        if (!pop.TlsFailure().empty()) g_moduleLog.Write(pop.SessionNote());
        return;
    }
    Status(StringPrintf("Downloading Mail for %s from %s", job.userName.c_str(), job.server.c_str()));
    const bool loggedIn = pop.Login(job.remoteUser, job.password);
    g_moduleLog.Write(pop.SessionNote());
    if (!loggedIn) {
        pop.Quit();
        return;
    }
    const int count = pop.GetMessageCount();
    if (count < 1) {
        pop.Quit();
        return;
    }
    // Without an id for every message the next pass could not tell what it
    // fetched: nothing is fetched, nothing deleted.
    const std::vector<std::string>& uids = pop.UidlList();
    if (!pop.LoadUidlList(count) || uids.size() != static_cast<std::size_t>(count) ||
        std::any_of(uids.begin(), uids.end(),
                    [](const std::string& uid) { return uid.empty() || uid.size() > kMaxStoredUid; })) {
        Status(StringPrintf("No unique ids from %s for %s: its mail is not fetched", job.server.c_str(),
                            job.userName.c_str()));
        pop.Quit();
        return;
    }
    // The newest message with the last id handled; a server that lost it
    // makes every message new.
    int last = 0;
    if (!job.lastMailId.empty())
        for (int i = count; i >= 1 && last == 0; --i)
            if (uids[static_cast<std::size_t>(i - 1)] == job.lastMailId) last = i;
    // With mail left on the server, the ids handed over before tell what is
    // new wherever it stands; the last id alone serves when they cannot be read.
    CFetchedUidls::Key key;
    key.accountId = job.accountId;
    key.server = job.server;
    key.remoteUser = job.remoteUser;
    CFetchedUidls fetched(context.connection, key);
    const bool bySet = job.leaveOnServer && fetched.Load();
    std::vector<int> numbers;
    if (bySet) {
        // Kept from before the set existed: what the last id marks as handled.
        if (fetched.Empty())
            for (int i = 1; i <= last; ++i) fetched.Remember(uids[static_cast<std::size_t>(i - 1)]);
        fetched.Prune(uids);
        for (int i = 1; i <= count; ++i)
            if (!fetched.Contains(uids[static_cast<std::size_t>(i - 1)])) numbers.push_back(i);
    } else {
        for (int i = job.leaveOnServer ? last + 1 : 1; i <= count; ++i) numbers.push_back(i);
    }
    Fetch(pop, numbers, last, bySet ? &fetched : nullptr);
    StoreLastId();
    pop.Quit();
}

void CMappedAccountDownload::Fetch(CPop3Connection& pop, const std::vector<int>& numbers, int last,
                                   CFetchedUidls* fetched) {
    if (numbers.empty()) return;
    // The message in hand is still handed over after a stop, within its grace.
    CLocalHandBack::Options options;
    options.fetchedMail = true;
    options.chunkSize = context.sendBufferSize;
    options.stop = context.stop;
    CLocalHandBack local(options);
    const std::uint64_t limit = job.sizeLimitKb > 0 ? static_cast<std::uint64_t>(job.sizeLimitKb) * 1024 : 0;
    for (std::size_t n = 0; n < numbers.size() && !Stopping(); ++n) {
        const int i = numbers[n];
        Status(StringPrintf("Downloading Mail %d of %d from %s for %s", static_cast<int>(n + 1),
                            static_cast<int>(numbers.size()), job.server.c_str(), job.userName.c_str()));
        pop.SetStatusWindow(context.status);
        const std::string& uid = pop.UidlList()[static_cast<std::size_t>(i - 1)];
        // A server listing one id twice: the copy was handled with the first.
        if (fetched && fetched->Contains(uid)) continue;
        if (limit > 0) {
            const long size = pop.GetMessageSize(i);
            if (size < 0) break;
            if (static_cast<std::uint64_t>(size) > limit) {
                // Left where it is; the user hears of it once, when it is new.
                if (fetched || i > last) {
                    if (!NotifyOversized(pop, i, size)) break;
                    job.lastMailId = uid;
                    if (fetched) fetched->Remember(uid);
                }
                continue;
            }
        }
        if (!smtpOpen) {
            smtpOpen = local.Open();
            if (!smtpOpen) break;
        }
        const std::unique_ptr<CTempMailContent> message = pop.RetrieveMessage(i);
        if (!message) break;
        const HandOverResult result = HandOver(local, *message);
        if (result == HandOverResult::Deferred) break;
        if (result == HandOverResult::Refused && !NotifyRefused(*message)) break;
        if (job.leaveOnServer) {
            job.lastMailId = uid;
            // Only now: a crash before this line fetches it again, never skips it.
            if (fetched) fetched->Remember(uid);
        } else if (!pop.DeleteMessage(i))
            break;
    }
}

CMappedAccountDownload::HandOverResult CMappedAccountDownload::HandOver(CLocalHandBack& local,
                                                                        CTempMailContent& message) {
    const std::string head = ReadHead(message, kHeadBytes);
    CMailHeader header;
    header.Parse(head.data(), head.size(), false);
    CLocalHandBack::Envelope envelope;
    envelope.sender = Trim(ExtractAngleAddress(header.GetField("From")));
    if (envelope.sender.empty()) envelope.sender = kGatewaySender;
    // A sender taken from a header the local server will not take must not
    // hold the message back for good: the gateway's name stands in.
    envelope.fallbackSender = kGatewaySender;
    envelope.recipients.push_back({LocalAddress(job.userName), {}, true});
    if (job.routeAll && !EqualsNoCase(job.userName, "postmaster"))
        envelope.recipients.push_back({LocalAddress("postmaster"), {}, false});
    const CLocalHandBack::Result result = local.HandBack(envelope, message);
    if (result.sent) return HandOverResult::Accepted;
    // Refused even in the gateway's name: that says nothing about this message.
    if (result.failedAt == CLocalHandBack::Step::Sender) return HandOverResult::Deferred;
    return Judge(result);
}

CMappedAccountDownload::HandOverResult CMappedAccountDownload::Judge(const CLocalHandBack::Result& result) {
    const std::string& code = result.code;
    refusal = result.reply;
    // Only the message's own refusals count (55x: mailbox, size, policy);
    // a 50x blames the command, "mailbox full" (X.2.2, RFC 3463) passes
    // however it is coded, and a session that ended proves nothing.
    const bool full = refusal.size() >= 9 && refusal.compare(4, 5, "5.2.2") == 0;
    const bool forGood = result.sessionOpen && code.size() == 3 && code[0] == '5' && code[1] == '5' && !full;
    return forGood ? HandOverResult::Refused : HandOverResult::Deferred;
}

bool CMappedAccountDownload::NotifyOversized(CPop3Connection& pop, int number, long size) {
    // The header tells whom from and what about; a server without TOP still
    // gets the user told, without them.
    std::string head;
    pop.RetrieveHeader(number, head, kNoticeHeadBytes);
    if (!pop.IsConnected()) return false;
    CMailHeader header;
    header.Parse(head.data(), head.size(), false);
    const std::string sentence = StringPrintf(
        "A message of %ld bytes from %s waits on the remote server %s: it is larger than your receiving limit of "
        "%ld KB and was not fetched.",
        size, OneLine(header.GetField("From")).c_str(), OneLine(job.server).c_str(), job.sizeLimitKb);
    return Notify("Message left on the remote server", sentence, header);
}

bool CMappedAccountDownload::NotifyRefused(CTempMailContent& message) {
    const std::string head = ReadHead(message, kNoticeHeadBytes);
    CMailHeader header;
    header.Parse(head.data(), head.size(), false);
    const std::string sentence = StringPrintf(
        "A message from %s on the remote server %s was refused by this server (%s) and was not delivered; %s",
        OneLine(header.GetField("From")).c_str(), OneLine(job.server).c_str(), OneLine(refusal).c_str(),
        job.leaveOnServer ? "it stays on the remote server." : "it was removed from the remote server.");
    return Notify("Message refused", sentence, header);
}

bool CMappedAccountDownload::Notify(const std::string& subject, const std::string& sentence,
                                    const CMailHeader& header) {
    const std::string to = LocalAddress(job.userName);
    NoticeSource about = CSystemNotice::SourceOf(header);
    about.date = OneLine(about.date);
    about.subject = OneLine(about.subject);
    // Notices about fetched mail go to local accounts only.
    const CGeneratedMailPolicy policy = CGeneratedMailPolicy::ForUnknownOrigin(context.accounts);
    const CSystemNotice::Outcome outcome = CSystemNotice::Send({subject, sentence, false}, about, to, to, policy);
    // Withheld by the policy (the message is itself a notice): there is
    // nobody to tell, and the pass goes on.
    return outcome == CSystemNotice::Outcome::Sent || outcome == CSystemNotice::Outcome::Withheld;
}

void CMappedAccountDownload::StoreLastId() {
    if (job.lastMailId == storedLastId) return;
    CMappedAccounts::StoreLastMailId(context.connection, job.accountId, job.remoteUser, job.server, job.lastMailId);
    storedLastId = job.lastMailId;
}
