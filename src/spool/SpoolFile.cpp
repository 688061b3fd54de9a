// SpoolFile: writing and reading spool files (see the header for the format).
//
// Plain POSIX descriptors: the writer needs fsync on the file and its
// directory and an atomic no-replace rename; the reader needs a
// non-blocking open (a stray FIFO must not hang the processor) and an
// advisory lock so that two readers never route one file twice.
#include "spool/SpoolFile.h"

#include "platform/FileIo.h"

#include "delivery/CLocalAccount.h"
#include "foundation/CAccountDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CFileRangeContent.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcConnectionInfo.h"
#include "spool/CSpoolDraft.h"
#include "spool/CSpoolFilePool.h"
#include "foundation/StringFormat.h"
#include "platform/RecordReader.h"
#include "platform/RecordWriter.h"
#include "platform/UniqueFd.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using spool::kBlockSize;
using spool::kMaxRecipients;
using spool::kMaxStringLength;
using spool::ReadResult;

// Name collisions are the only reason to try another number, so this bound
// is reached only in a directory flooded with spool names.
constexpr int kNameAttempts = 4096;
// The smallest recipient record: three empty strings.
constexpr std::uint64_t kMinRecipientRecord = 3;

std::string SpoolPath(const std::string& directory, const char* prefix, std::uint32_t number, const char* suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%X%s", prefix, number, suffix);
    return directory + "/" + name;
}

// Deletes the file it names on destruction unless released: a spool file
// that failed half-way never stays behind.
class FileRemover {
public:
    explicit FileRemover(std::string path) : path(std::move(path)) {}
    ~FileRemover() {
        if (!path.empty()) ::unlink(path.c_str());
    }
    FileRemover(const FileRemover&) = delete;
    FileRemover& operator=(const FileRemover&) = delete;
    void Reset(std::string next) { path = std::move(next); }
    void Release() { path.clear(); }

private:
    std::string path;
};

struct RecipientRecord {
    bool local = false;
    std::string name;
    std::string domain;
};

void Log(const std::string& line) {
    g_moduleLog.Write(line);
}

}  // namespace

namespace spool {

const char* ReadResultText(ReadResult result) {
    switch (result) {
        case ReadResult::Ok:
            return "read";
        case ReadResult::OpenFailed:
            return "cannot be opened";
        case ReadResult::Busy:
            return "is in use";
        case ReadResult::Malformed:
            return "is malformed";
        case ReadResult::ContentFailed:
            return "temporary message file failed";
        case ReadResult::NoDatabase:
            return "waits for the database";
    }
    return "unknown";
}

bool IsSpoolFileName(const std::string& name) {
    constexpr std::string_view kExtension = ".tmp";
    return name.size() > kExtension.size() && name[0] != '.' &&
           name.compare(name.size() - kExtension.size(), kExtension.size(), kExtension) == 0;
}

}  // namespace spool

namespace spool {

bool MakeRecipientEntries(const std::string& sender, const std::vector<std::unique_ptr<MailRecipient>>& recipients,
                          std::vector<RecipientEntry>& entries) {
    entries.clear();
    if (sender.size() > kMaxStringLength) {
        Log("*** Sender too long");
        return false;
    }
    for (const auto& recipient : recipients) {
        if (!recipient) {
            // Skipped, not the end of the list: the count leaves it out.
            Log("*** Invalid User");
            continue;
        }
        const bool local = recipient->account && !recipient->account->GetUserName().empty();
        RecipientEntry entry{local, local ? recipient->account->GetUserName() : recipient->user, recipient->domain};
        if (entry.name.size() > kMaxStringLength || entry.domain.size() > kMaxStringLength) {
            Log("*** Recipient too long");
            return false;
        }
        g_moduleLog.WriteVerbose(
            StringPrintf("Receiver in file = %s@%s", recipient->user.c_str(), recipient->domain.c_str()));
        entries.push_back(std::move(entry));
    }
    if (entries.size() > UINT32_MAX) {
        Log("*** Too many recipients");
        return false;
    }
    return true;
}

UniqueFd CreatePartFile(const std::string& directory, int flags, std::string& partPath, std::uint32_t& number) {
    // A hidden name that no scan picks up until the file is complete; a kept
    // file of a routed message takes it when there is one.
    number = NextFileNumber();
    partPath = SpoolPath(directory, ".SMF", number, ".part");
    if (CSpoolFilePool::Instance().Take(directory, partPath)) {
        UniqueFd reused(::open(partPath.c_str(), flags | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
        if (reused) return reused;
        ::unlink(partPath.c_str());
    }
    UniqueFd file =
        CreateExclusive([&](unsigned) { return SpoolPath(directory, ".SMF", number = NextFileNumber(), ".part"); },
                        kNameAttempts, flags, 0640, partPath);
    if (!file) Log("GetTempFileName failed");
    return file;
}

bool WriteRecordHead(RecordWriter& writer, const std::string& sender, const std::vector<RecipientEntry>& entries,
                     std::int32_t dots, std::uint32_t length) {
    writer.String(sender);
    writer.U32(static_cast<std::uint32_t>(entries.size()));
    for (const RecipientEntry& entry : entries) {
        writer.String(entry.local ? "1" : "0");
        writer.String(entry.name);
        writer.String(entry.domain);
    }
    writer.U32(static_cast<std::uint32_t>(dots));
    return writer.U32(length);
}

bool PublishPartFile(UniqueFd file, const std::string& directory, const std::string& partPath, std::uint32_t number,
                     std::string* path) {
    FileRemover remover(partPath);
    g_moduleLog.WriteVerbose("Closing File");
    if (::fsync(file.Get()) != 0 || ::close(file.Release()) != 0) return false;
    // Publish under the final name; another number when that name is taken.
    std::string finalPath = SpoolPath(directory, "SMF", number, ".tmp");
    for (int attempt = 0;; ++attempt) {
        if (RenameNoReplace(partPath, finalPath)) break;
        if (errno != EEXIST || attempt + 1 >= kNameAttempts) return false;
        finalPath = SpoolPath(directory, "SMF", NextFileNumber(), ".tmp");
    }
    g_moduleLog.WriteVerbose(StringPrintf("Mail File Name = %s", finalPath.c_str()));
    remover.Reset(finalPath);
    if (!SyncDirectory(directory)) return false;
    remover.Release();
    if (path) *path = finalPath;
    return true;
}

}  // namespace spool

bool WriteSpoolFile(MailInfo& info, const std::string& directory, std::string* path) {
    // Refuse what the reader would refuse, before anything touches the disk.
    if (!info.content) {
        Log("*** MailInfo has no content");
        return false;
    }
    std::vector<spool::RecipientEntry> entries;
    if (!spool::MakeRecipientEntries(info.sender, info.recipients, entries)) return false;
    auto fail = [] {
        Log("*** Exception in writing to file");
        return false;
    };
    // A message received straight into its spool file only needs finishing.
    if (auto* draft = dynamic_cast<CSpoolDraft*>(info.content.get());
        draft && draft->Matches(directory, info.sender, entries))
        return draft->Publish(info.DotsCount, info.mayRelay, path, info.junk) || fail();

    std::uint32_t number = 0;
    std::string partPath;
    UniqueFd file = spool::CreatePartFile(directory, O_WRONLY, partPath, number);
    if (!file) return false;
    FileRemover remover(partPath);

    RecordWriter writer(file.Get());
    const std::uint32_t length = info.content->GetLength();
    spool::WriteRecordHead(writer, info.sender, entries, info.DotsCount, length);
    if (!writer.Flush()) return fail();

    info.content->Rewind();
    g_moduleLog.WriteVerbose("Writing to MailStorageFile");
    std::vector<char> block(kBlockSize);
    std::uint64_t copied = 0;
    for (;;) {
        const int n = info.content->Read(block.data(), kBlockSize);
        if (n < 0 || static_cast<std::uint32_t>(n) > kBlockSize) return fail();
        if (n == 0) break;
        copied += static_cast<std::uint32_t>(n);
        // More bytes than announced would be read back as a different message.
        if (copied > length || !WriteAll(file.Get(), block.data(), static_cast<std::size_t>(n))) return fail();
    }
    if (copied != length) return fail();
    // The trailer goes after the message, where readers that take L bytes
    // never look.
    const std::array<std::uint8_t, spool::kTrailerSize> trailer = spool::Trailer(info.mayRelay, info.junk);
    if (!WriteAll(file.Get(), trailer.data(), trailer.size())) return fail();
    remover.Release();
    return spool::PublishPartFile(std::move(file), directory, partPath, number, path) || fail();
}

std::unique_ptr<MailInfo> ReadSpoolFile(const std::string& path, CAccountDatabase* database, ReadResult* result) {
    ReadResult ignored;
    ReadResult& status = result ? *result : ignored;

    // Non-blocking so that a FIFO under a spool name cannot hang the reader.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        status = ReadResult::OpenFailed;
        return nullptr;
    }
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        status = errno == EWOULDBLOCK ? ReadResult::Busy : ReadResult::OpenFailed;
        return nullptr;
    }

    auto mail = std::make_unique<MailInfo>();
    RecordReader reader(file.Get(), static_cast<std::uint64_t>(info.st_size), kMaxStringLength);
    status = ReadResult::Malformed;

    std::uint32_t count = 0;
    if (!reader.String(mail->sender) || !reader.U32(count) || count > reader.Remaining() / kMinRecipientRecord)
        return nullptr;
    // Beyond the limit every record is still read (to find the content) but
    // only the first is kept, and it goes to the postmaster.
    const bool cutDown = count > kMaxRecipients;
    std::vector<RecipientRecord> records;
    records.reserve(cutDown ? 1 : count);
    RecipientRecord record;
    std::string flag;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!reader.String(flag) || !reader.String(record.name) || !reader.String(record.domain)) return nullptr;
        record.local = flag == "1";
        if (!cutDown || i == 0) records.push_back(record);
    }
    std::uint32_t dots = 0;
    std::uint32_t length = 0;
    if (!reader.U32(dots) || !reader.U32(length) || reader.Remaining() < length) return nullptr;
    mail->DotsCount = static_cast<std::int32_t>(dots);
    const std::uint64_t contentOffset = static_cast<std::uint64_t>(info.st_size) - reader.Remaining();
    // Either the message ends the file (written before the trailer existed:
    // the relay right is unknown, so there is none), or the trailer follows it.
    if (reader.Remaining() != length) {
        std::uint8_t trailer[spool::kTrailerSize];
        if (reader.Remaining() - length != sizeof trailer ||
            ::pread(file.Get(), trailer, sizeof trailer, static_cast<off_t>(contentOffset + length)) !=
                static_cast<ssize_t>(sizeof trailer) ||
            std::memcmp(trailer, spool::kTrailerTag, sizeof spool::kTrailerTag) != 0)
            return nullptr;
        mail->mayRelay = (trailer[sizeof spool::kTrailerTag] & spool::kTrailerMayRelay) != 0;
        mail->junk = (trailer[sizeof spool::kTrailerTag] & spool::kTrailerJunk) != 0;
    }

    // The message follows the record; it is read from there, through an
    // open of its own (same file, whatever happens to the name) that does not
    // share the reading lock, so the file is not held busy by the content.
    UniqueFd view(::open(("/proc/self/fd/" + std::to_string(file.Get())).c_str(), O_RDONLY | O_CLOEXEC));
    if (!view) {
        status = ReadResult::ContentFailed;
        return nullptr;
    }
    mail->content = std::make_unique<CFileRangeContent>(std::move(view), contentOffset, length);

    // Local recipients are resolved afresh: the account may have gone since
    // the message was accepted. Two addresses of one account give one copy.
    std::set<std::string> localNames;
    for (RecipientRecord& kept : records) {
        auto recipient = std::make_unique<MailRecipient>(std::move(kept.name), std::move(kept.domain));
        bool local = kept.local;
        if (cutDown) {
            recipient->user = "postmaster";
            recipient->domain.clear();
            local = true;  // the postmaster is always a local mailbox
        }
        if (local) {
            if (!localNames.insert(recipient->user).second) continue;
            if (database && !recipient->user.empty()) {
                recipient->account.reset(database->LookupLocalAccount(recipient->user));
                // No account of that name: the account whose own address it is.
                if (!recipient->account && !recipient->domain.empty()) {
                    recipient->account.reset(database->FindAccountByAddress(recipient->user + "@" + recipient->domain));
                    if (recipient->account && !recipient->account->GetUserName().empty()) {
                        if (!localNames.insert(recipient->account->GetUserName()).second) continue;
                        recipient->user = recipient->account->GetUserName();
                    }
                }
                // Not found because the database is gone is not "no such account".
                if (!recipient->account && OdbcConnectionInfo::IsLost(database->GetConnectionHandle())) {
                    status = ReadResult::NoDatabase;
                    return nullptr;
                }
            }
        }
        mail->recipients.push_back(std::move(recipient));
    }
    status = ReadResult::Ok;
    return mail;
}
