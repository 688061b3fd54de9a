// CFailedMails: retiring failed rows and their notices.
#include "outbound/CFailedMails.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <tuple>
#include <utility>

#include "foundation/COutboundRows.h"
#include "foundation/CMailContent.h"
#include "foundation/COwnNames.h"
#include "foundation/DateText.h"
#include "outbound/CFailureNotice.h"
#include "outbound/COutboundQueue.h"
#include "outbound/COutboundQueueReader.h"
#include "foundation/COutboundReplies.h"
#include "platform/FileIo.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "smtp/CLocalHandBack.h"

namespace {

constexpr const char* kOutbox = "Outbox";
// No setting asks for more: a century of days.
constexpr std::uint32_t kMaxDays = 36500;

// A row names a file in the Outbox and nowhere else: a damaged or foreign
// row must not make the expiry step delete files outside it.
bool IsOutboxFile(const std::string& path) {
    const std::string prefix = std::string(kOutbox) + "/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string name = path.substr(prefix.size());
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

// Deletes path when nobody holds it and it was last written before notAfter.
// The exclusive lock fails while a queue writer holds the file; taken, it
// is kept across the unlink so nobody opens the file in between.
void DeleteIfAbandoned(const std::string& path, std::time_t notAfter) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    if (info.st_mtime > notAfter) return;
    ::unlink(path.c_str());
}

}  // namespace

CFailedMails::CFailedMails(SQLHDBC connection, std::string heloName, std::uint32_t errorMailDayCount,
                           std::time_t passStart)
    : connection(connection),
      heloName(std::move(heloName)),
      errorMailDayCount(errorMailDayCount),
      passStart(passStart) {}

std::string CFailedMails::ExpiryLimit(std::time_t passStart, std::uint32_t days) {
    std::tm local{};
    if (!localtime_r(&passStart, &local)) return LocalDateTimeText(passStart - 1);
    // Whole calendar days, so a change of summer time does not move the limit.
    local.tm_mday -= static_cast<int>(std::min(days, kMaxDays));
    local.tm_isdst = -1;
    const std::time_t limit = std::mktime(&local);
    return LocalDateTimeText((limit == static_cast<std::time_t>(-1) ? passStart : limit) - 1);
}

void CFailedMails::Process() {
    if (connection == SQL_NULL_HDBC) return;
    const std::string limit = ExpiryLimit(passStart, errorMailDayCount);
    NotifyExpiring(limit);
    COutboundRows::RetireExpiring(connection, limit, kPermanentFailure);
    DeleteFinishedFiles();
    COutboundRows::PurgeSent(connection);
    COutboundReplies::ForgetOrphans(connection);
    COutboundRows::ForgetTrustWithoutRows(connection);
    DeleteOrphans();
}

// Every pending row retired below gets its notice first; a row never
// attempted (code 0) too, as "Unknown Error Occur", so no message vanishes
// unannounced. A row a server refused for good is retired in the pass that
// heard the refusal, whatever its age.
void CFailedMails::NotifyExpiring(const std::string& limit) {
    // Read whole first: no cursor stays open while the notices go out.
    std::vector<COutboundRows::Expiring> rows;
    if (!COutboundRows::ReadExpiring(connection, limit, kPermanentFailure, rows)) return;
    const std::string sender = "\"TessalMailerDeamon\" <" + COwnNames::Postmaster() + ">";
    for (const COutboundRows::Expiring& row : rows) {
        const COutboundReplies::Key key{row.mailFile, row.user, row.domain};
        // A stored domain's ":port" is where to connect, no part of the address.
        const std::string recipient = row.user + "@" + row.domain.substr(0, row.domain.find(':'));
        SendFailureNotice(recipient, sender, row.mailFile, row.failureCode, COutboundReplies::Lookup(connection, key));
    }
}

void CFailedMails::SendFailureNotice(const std::string& failedRecipient, const std::string& noticeSender,
                                     const std::string& outboxFile, std::uint32_t failureCode,
                                     const std::string& reply) {
    CFailureNotice composer;
    composer.SetFrom(noticeSender);

    COutboundQueueReader reader(kOutbox);
    if (!reader.OpenMailFile(outboxFile)) return;
    // The envelope sender alone is told; the null sender (a bounce) nobody.
    composer.SetEnvelopeSender(reader.ReadSender());
    if (!composer.ReadFailedSender()) return;
    const std::unique_ptr<CMailContent> failed = reader.ExtractBody();
    if (!failed) return;
    composer.SetFailedMessage(failed.get());
    // A stranger gets the start of the message back, not a payload to relay.
    if (!COutboundQueue::IsTrusted(connection, outboxFile))
        composer.SetAttachLimit(CFailureNotice::kStrangerAttachBytes);

    std::string reason = "Sorry, Your Mail to\r\n " + failedRecipient + "\r\n could not be delivered due to\r\n " +
                         CFailureNotice::ReasonText(failureCode, reply);
    if (!reply.empty()) reason += "\r\n\r\n The remote server replied:\r\n " + reply;
    composer.SetReasonText(reason);
    composer.Compose();
    const std::unique_ptr<CMailContent> notice = composer.GetNotice();
    if (!notice) return;
    const std::string recipient = composer.GetRecipient();
    // No notice is sent about a notice.
    if (recipient.find("TessalMailerDeamon") != std::string::npos) return;

    CLocalHandBack::Options options;
    options.generatedMail = true;
    options.ownName = heloName;
    // The null reverse-path: exchangers elsewhere accept it where they
    // refuse a loopback sender, and nobody answers it with a notice.
    CLocalHandBack::Once(options, CLocalHandBack::To("", std::string(Trim(recipient))), *notice);
}

void CFailedMails::DeleteFinishedFiles() {
    std::vector<std::string> files;
    if (!COutboundRows::FinishedFiles(connection, files)) return;
    for (const std::string& file : files) {
        const std::string path = ForwardSlashes(file);
        if (IsOutboxFile(path)) ::unlink(path.c_str());
    }
}

long long CFailedMails::RowsNaming(const std::string& path) {
    return COutboundRows::RowsNaming(connection, path);
}

void CFailedMails::DeleteOrphans() {
    const std::time_t notAfter = std::time(nullptr) - kOrphanAge;
    std::error_code error;
    std::filesystem::directory_iterator entries(kOutbox, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (name.size() <= 4 || !EndsWithNoCase(name, ".tmp")) continue;
        const std::string path = std::string(kOutbox) + "/" + name;
        if (RowsNaming(path) == 0) DeleteIfAbandoned(path, notAfter);
    }
}
