// CRemoteMailSpooler: download of the remote server accounts and
// distribution of their mail.
#include "retrieval/CRemoteMailSpooler.h"

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <dirent.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "delivery/CLocalAccount.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CFetchedUidls.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CTempMailContent.h"
#include "foundation/CAccountRows.h"
#include "foundation/CAliasMapping.h"
#include "foundation/OdbcFailure.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CMailHeader.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "platform/Text.h"
#include "retrieval/CPop3Connection.h"
#include "retrieval/CRemoteSpoolFile.h"
#include "smtp/CLocalHandBack.h"
#include "smtp/CSmtpConnection.h"

namespace {

// The header is parsed from this much of the message's start.
constexpr std::size_t kHeaderBytes = 4096;
// Below this the POP3 client cannot hold a reply line; a missing or zero
// ReceiveBufferSize means the size used everywhere else.
constexpr std::uint32_t kMinReceiveBuffer = 512;
constexpr std::uint32_t kDefaultReceiveBuffer = settings::Dword{settings::kPreferences, "ReceiveBufferSize"}.Default();
constexpr const char* kPostmaster = "postmaster";

// Process-wide, as the preferences they come from: a key that cannot be
// opened leaves the values read last.
std::atomic<std::uint32_t> g_receiveBufferSize{0};
std::atomic<std::uint32_t> g_maxMails{0};

std::string Loopback(const std::string& user) {
    return user + "@" + CSmtpConnection::kLocalHost;
}

// The spool files, oldest first (by modification time, then name), so that
// mail reaches its users in the order it was fetched.
std::vector<std::string> SpoolFiles(const std::string& directory) {
    std::vector<std::pair<std::pair<long long, long long>, std::string>> found;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return {};
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= 4 || !EndsWithNoCase(name, CRemoteSpoolFile::kExtension)) continue;
        const std::string path = directory + "/" + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        found.push_back(
            {{static_cast<long long>(info.st_mtim.tv_sec), static_cast<long long>(info.st_mtim.tv_nsec)}, path});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

std::string TrimmedLower(std::string_view text) {
    return FoldCase(std::string(Trim(text)));
}

bool IsAlnum(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// The candidate of one recipient piece for a shared address: the text in
// parentheses, else the display name before the address.
std::string SharedAddressCandidate(const std::string& piece, const std::string& aliasAddress) {
    const std::size_t open = piece.find('(');
    if (open != std::string::npos) {
        const std::size_t close = piece.find(')', open + 1);
        if (close != std::string::npos) return std::string(Trim(piece.substr(open + 1, close - open - 1)));
    }
    std::string before = piece.substr(0, piece.find(aliasAddress));
    std::size_t b = 0;
    while (b < before.size() && !IsAlnum(before[b])) ++b;
    std::size_t e = before.size();
    while (e > b && !IsAlnum(before[e - 1])) --e;
    return before.substr(b, e - b);
}

// The candidate of one recipient piece for a domain: the user part.
std::string DomainCandidate(const std::string& piece) {
    const std::size_t at = piece.find('@');
    const std::size_t angle = piece.find('<');
    if (at == std::string::npos) return "";
    if (angle != std::string::npos && angle < at) return piece.substr(angle + 1, at - angle - 1);
    if (angle == std::string::npos) return std::string(Trim(piece.substr(0, at)));
    const std::size_t next = piece.find('@', angle + 1);
    return std::string(Trim(piece.substr(angle + 1, next == std::string::npos ? std::string::npos : next - angle - 1)));
}

}  // namespace

CRemoteMailSpooler::CRemoteMailSpooler() {
    constexpr settings::Dword kReceiveBuffer{settings::kPreferences, "ReceiveBufferSize"};
    if (kReceiveBuffer.KeyOpens()) {
        // A value missing from the existing key reads 0.
        g_receiveBufferSize = kReceiveBuffer.ValueOrZero();
        g_maxMails = settings::Dword{settings::kPreferences, "MaxMails"}.ValueOrZero();
    }
    receiveBufferSize = g_receiveBufferSize.load();
    if (receiveBufferSize == 0) receiveBufferSize = kDefaultReceiveBuffer;
    receiveBufferSize = std::max(receiveBufferSize, kMinReceiveBuffer);
    maxMails = g_maxMails.load();
}

bool CRemoteMailSpooler::StopRequested() const {
    return stopRequested && stopRequested->Raised();
}

void CRemoteMailSpooler::Status(const std::string& text) {
    if (statusWindow) statusWindow->Post(StatusWindow::kStatusLine, 0, text, 0);
}

void CRemoteMailSpooler::StatementError(const OdbcFailure& failure) {
    Status(StringPrintf("Error : %d %s %s", failure.native, failure.state.c_str(), failure.message.c_str()));
}

// --- Download.

int CRemoteMailSpooler::DownloadRemoteServerAccounts() {
    if (!database) return 0;
    RemovePartFiles();
    std::vector<Account> accounts;
    if (!LoadAccounts(accounts)) return 0;
    int written = 0;
    for (const Account& account : accounts) {
        if (StopRequested()) break;
        written += DownloadAccount(account);
    }
    return written;
}

// A write that a crash cut short leaves a part file; its message is still
// on the server (nothing is deleted or recorded before the rename).
void CRemoteMailSpooler::RemovePartFiles() {
    DIR* dir = ::opendir(spoolDirectory.c_str());
    if (!dir) return;
    std::vector<std::string> parts;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && EndsWithNoCase(name, CRemoteSpoolFile::kPartExtension)) parts.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : parts) ::unlink((spoolDirectory + "/" + name).c_str());
}

bool CRemoteMailSpooler::LoadAccounts(std::vector<Account>& accounts) {
    OdbcFailure failure;
    if (CRemoteServerAccounts::LoadForDownload(database->GetConnectionHandle(), accounts, &failure)) return true;
    StatementError(failure);
    return false;
}

bool CRemoteMailSpooler::StoreLastMailId(const Account& account, const std::string& id) {
    OdbcFailure failure;
    if (CRemoteServerAccounts::StoreLastMailId(database->GetConnectionHandle(), account.userName, account.userId, id,
                                               &failure))
        return true;
    StatementError(failure);
    return false;
}

int CRemoteMailSpooler::DownloadAccount(const Account& account) {
    CPop3Connection pop;
    pop.SetReceiveBufferSize(receiveBufferSize);
    pop.SetStopSignal(stopRequested);
    // Retrieval never deletes by itself: a message goes from the server only
    // once its spool file is whole on disk.
    pop.SetLeaveOnServer(true);
    pop.SetRequireTls(CPop3Connection::TlsRequiredBySettings());
    Status(StringPrintf("Connecting %s", account.serverAddr.c_str()));
    if (account.port < 1 || account.port > 65535) return 0;
    if (!pop.Connect(account.serverAddr, static_cast<std::uint16_t>(account.port))) {
        if (!pop.TlsFailure().empty()) g_moduleLog.Write(pop.SessionNote());
        return 0;
    }
    const auto finish = [&pop](int written) {
        pop.Quit();
        pop.Close();
        return written;
    };
    const bool loggedIn = pop.Login(account.userId, account.pass);
    g_moduleLog.Write(pop.SessionNote());
    if (!loggedIn) return finish(0);
    const int count = pop.GetMessageCount();
    if (count < 1) return finish(0);

    // The listing gives every message's id; without it they are asked one by one.
    const bool listed = pop.LoadUidlList(count);
    const auto uidOf = [&](int number) {
        const std::vector<std::string>& list = pop.UidlList();
        if (!listed) return pop.GetUidl(number);
        return number >= 1 && static_cast<std::size_t>(number) <= list.size() ? list[number - 1] : std::string();
    };
    int last = 0;
    // When mail is not left on the server, what was fetched is gone from it.
    if (!account.lastMailId.empty() && account.leaveMailOnServer && listed) {
        int number = 0;
        if (pop.FindUidl(account.lastMailId, number)) last = std::min(number, count);
        // A server repeating an id: the copies count as fetched too.
        while (last > 0 && last < count && uidOf(last + 1) == account.lastMailId) ++last;
    }
    // With mail left on the server and a keepable id for every message, the
    // ids written to the spool before tell what is new wherever it stands.
    CFetchedUidls::Key key;
    key.kind = CFetchedUidls::Kind::Remote;
    key.serverName = account.serverName;
    key.server = account.serverAddr;
    key.remoteUser = account.userId;
    CFetchedUidls fetched(database->GetConnectionHandle(), key);
    const std::vector<std::string>& uids = pop.UidlList();
    const bool bySet = account.leaveMailOnServer && listed && uids.size() == static_cast<std::size_t>(count) &&
                       std::all_of(uids.begin(), uids.end(), CFetchedUidls::IsKeepable) && fetched.Load();
    std::vector<int> numbers;
    if (bySet) {
        // Kept from before the set existed: what the last id marks as fetched.
        if (fetched.Empty())
            for (int i = 1; i <= last; ++i) fetched.Remember(uids[static_cast<std::size_t>(i - 1)]);
        fetched.Prune(uids);
        std::set<std::string> seen;
        for (int i = 1; i <= count; ++i) {
            const std::string& uid = uids[static_cast<std::size_t>(i - 1)];
            // A server repeating an id: the copies count as fetched with the first.
            if (!fetched.Contains(uid) && seen.insert(uid).second) numbers.push_back(i);
        }
    } else {
        for (int i = last + 1; i <= count; ++i) numbers.push_back(i);
    }
    // MaxMails new messages at most per pass.
    if (maxMails != 0 && numbers.size() > maxMails) numbers.resize(maxMails);
    if (numbers.empty()) return finish(0);

    pop.SetStatusWindow(statusWindow);
    int written = 0;
    for (std::size_t n = 0; n < numbers.size() && !StopRequested(); ++n) {
        const int i = numbers[n];
        Status(StringPrintf("Downloading %d of %d from %s", bySet ? static_cast<int>(n + 1) : i,
                            bySet ? static_cast<int>(numbers.size()) : numbers.back(), account.serverAddr.c_str()));
        const std::unique_ptr<CTempMailContent> message = pop.RetrieveMessage(i);
        if (!message) break;
        CRemoteSpoolFile record;
        record.userId = account.userId;
        record.userName = account.userName;
        record.serverAddr = account.serverAddr;
        record.alias = account.alias;
        record.aliasAddress = account.aliasAddress;
        if (!record.Write(*message, spoolDirectory)) {
            // Nothing recorded, nothing deleted: the next pass fetches it again.
            g_moduleLog.Write(StringPrintf("*** A message from %s could not be written to %s",
                                           account.serverAddr.c_str(), spoolDirectory.c_str()));
            break;
        }
        ++written;
        const std::string uid = uidOf(i);
        // Only once the spool file is whole: a crash before fetches it again.
        if (bySet) fetched.Remember(uid);
        if (!uid.empty()) StoreLastMailId(account, uid);
        if (!account.leaveMailOnServer) pop.DeleteMessage(i);
    }
    pop.SetStatusWindow(nullptr);
    return finish(written);
}

// --- Distribution.

int CRemoteMailSpooler::DistributeRemoteMail() {
    int removed = 0;
    const std::vector<std::string> files = SpoolFiles(spoolDirectory);
    if (database && !files.empty() && !StopRequested()) {
        const std::uint32_t routeAll = settings::Dword{settings::kPreferences, "RouteAllMailsToPostmaster"}.Value();
        // After a stop the file in hand is finished within the grace, and
        // the others wait in the spool directory for the next distribution.
        CLocalHandBack::Options options;
        options.stop = stopRequested;
        options.fetchedMail = true;
        CLocalHandBack local(options);
        if (local.Open()) {
            for (const std::string& path : files) {
                if (StopRequested()) break;
                if (DistributeFile(local, path, routeAll != 0)) ++removed;
            }
        }
    }
    served.clear();
    return removed;
}

void CRemoteMailSpooler::SetAside(const std::string& path) {
    const std::string aside =
        path.substr(0, path.size() - std::string_view(CRemoteSpoolFile::kExtension).size()) + ".bad";
    const bool moved = ::rename(path.c_str(), aside.c_str()) == 0;
    g_moduleLog.Write(StringPrintf("*** Remote spool file %s is truncated or corrupt: %s", path.c_str(),
                                   moved ? ("kept as " + aside).c_str() : "it could not be set aside"));
}

bool CRemoteMailSpooler::DistributeFile(CLocalHandBack& local, const std::string& path, bool routeAll) {
    CRemoteSpoolFile record;
    switch (record.Read(path)) {
        case CRemoteSpoolFile::ReadResult::OpenFailed:
            return false;  // gone meanwhile, or unreadable now: tried again next time
        case CRemoteSpoolFile::ReadResult::Corrupt:
            SetAside(path);
            return false;
        case CRemoteSpoolFile::ReadResult::Ok:
            break;
    }
    const std::string head = ReadHead(*record.message, kHeaderBytes);
    CMailHeader header;
    header.Parse(head.data(), head.size(), false);
    std::string id = header.GetField("Message-ID");
    if (id.empty()) id = header.GetField("Message-Id");
    const std::string key = TrimmedLower(id);

    std::vector<Recipient> recipients = PlanRecipients(record, header, routeAll);
    // Only recipients that already have this message in this pass are skipped.
    if (!key.empty()) {
        const auto it = served.find(key);
        if (it != served.end())
            std::erase_if(recipients, [&](const Recipient& r) { return it->second.count(FoldCase(r.user)) > 0; });
        if (recipients.empty()) return ::unlink(path.c_str()) == 0;
    }

    std::string sender = std::string(Trim(ExtractAngleAddress(header.GetField("From"))));
    if (sender.empty()) sender = Loopback(kPostmaster);
    CLocalHandBack::Envelope envelope;
    envelope.sender = sender;
    envelope.fallbackSender = Loopback(kPostmaster);
    // A refused recipient's copy goes to the file's owner, unless the
    // owner has this message already.
    const auto known = key.empty() ? served.end() : served.find(key);
    const bool ownerServed = known != served.end() && known->second.count(FoldCase(record.userName)) > 0;
    const std::string owner = ownerServed || record.userName.empty() ? std::string() : Loopback(record.userName);
    for (const Recipient& recipient : recipients)
        envelope.recipients.push_back(
            {Loopback(recipient.user), recipient.ownerIfRefused ? owner : std::string(), false});
    const CLocalHandBack::Result handed = local.HandBack(envelope, *record.message);
    if (!handed.sent && handed.failedAt == CLocalHandBack::Step::Data && handed.sessionOpen &&
        handed.code.starts_with("5")) {
        // Refused for good at its end (the filter's verdict): trying again would only be refused again.
        g_moduleLog.Write("Remote mail " + path + " refused by this server (" + handed.reply + "); removed");
        return ::unlink(path.c_str()) == 0;
    }
    if (!handed.sent) return false;  // kept for the next distribution
    std::vector<std::string> given;
    for (std::size_t i = 0; i < recipients.size() && i < handed.recipients.size(); ++i) {
        const std::string& taken = handed.recipients[i].acceptedAs;
        if (!taken.empty()) given.push_back(taken == owner ? record.userName : recipients[i].user);
    }
    if (!key.empty())
        for (const std::string& user : given) served[key].insert(FoldCase(user));
    return ::unlink(path.c_str()) == 0;
}

std::vector<CRemoteMailSpooler::Recipient> CRemoteMailSpooler::PlanRecipients(const CRemoteSpoolFile& record,
                                                                              const CMailHeader& header,
                                                                              bool routeAll) {
    std::vector<Recipient> planned;
    const auto add = [&](const std::string& user, bool ownerIfRefused) {
        const bool known =
            std::any_of(planned.begin(), planned.end(), [&](const Recipient& r) { return EqualsNoCase(r.user, user); });
        // A file without an owner names nobody: "@127.0.0.1" is no recipient.
        if (!known && !user.empty()) planned.push_back({user, ownerIfRefused});
    };
    if (!record.alias) {
        add(record.userName, false);
    } else {
        for (const std::string& candidate : CollectLocalRecipients(record, header)) {
            const std::string user = ResolveLocalUser(record, candidate);
            if (!user.empty()) add(user, false);
        }
    }
    if (planned.empty()) {
        // Nobody local by name: the envelope recipient the last relay recorded.
        const std::optional<std::string> r = FindReceivedForAddress(header.GetField("Received"));
        std::string user;
        if (r && r->find(record.aliasAddress) != std::string::npos) {
            const std::size_t at = r->find('@');
            user = ResolveLocalUser(record, r->substr(0, at));
        }
        if (!user.empty())
            add(user, true);
        else
            add(record.userName, false);
    }
    if (routeAll) add(kPostmaster, false);
    return planned;
}

std::vector<std::string> CRemoteMailSpooler::CollectLocalRecipients(const CRemoteSpoolFile& record,
                                                                    const CMailHeader& header) const {
    std::vector<std::string> candidates;
    const bool shared = record.aliasAddress.find('@') != std::string::npos;
    for (const char* field : {"To", "Cc", "Bcc"}) {
        const std::string value = header.GetField(field);
        std::size_t start = 0;
        while (start <= value.size()) {
            const std::size_t end = value.find_first_of(",;", start);
            const std::string piece = TrimmedLower(
                std::string_view(value).substr(start, end == std::string::npos ? std::string::npos : end - start));
            start = end == std::string::npos ? value.size() + 1 : end + 1;
            // As stored: an alias address with capitals matches nothing.
            if (piece.find(record.aliasAddress) == std::string::npos) continue;
            std::string candidate =
                shared ? SharedAddressCandidate(piece, record.aliasAddress) : DomainCandidate(piece);
            if (!candidate.empty()) candidates.push_back(std::move(candidate));
        }
    }
    return candidates;
}

// --- Resolution.

bool CRemoteMailSpooler::AccountExists(const std::string& name, std::string& stored) {
    OdbcFailure failure;
    const std::optional<std::string> found = CAccountRows::StoredUserName(database->GetConnectionHandle(), name, &failure);
    if (!found) {
        if (!failure.state.empty()) StatementError(failure);
        return false;
    }
    stored = *found;
    return !stored.empty();
}

bool CRemoteMailSpooler::MayRead(const std::string& user) {
    const SQLHDBC connection = database->GetConnectionHandle();
    bool failed = false;
    const std::optional<long> accountId = CAccountRows::AccountIdByName(connection, user, &failed);
    if (failed) StatementError({0, "", "the account of " + user + " could not be read"});
    if (!accountId) return false;
    return CAccountRows::ReadRightOf(connection, *accountId) == CAccountRows::ReadRight::Allowed;
}

std::string CRemoteMailSpooler::ResolveLocalUser(const CRemoteSpoolFile& record, const std::string& candidate) {
    if (!database || candidate.empty()) return "";
    std::string user;
    if (!AccountExists(candidate, user)) {
        OdbcFailure failure;
        const std::optional<std::string> aliased =
            CAliasMapping::UserOf(database->GetConnectionHandle(), record.userName, candidate, &failure);
        if (!aliased) {
            StatementError(failure);
            return "";
        }
        user = *aliased;
    }
    if (user.empty()) {
        const std::unique_ptr<CLocalAccount> account(database->FindAccountBySuffix(candidate));
        if (account) user = account->GetUserName();
    }
    if (!user.empty() && ProcessSettings::Current().accessControl && !MayRead(user)) return "";
    return user;
}
