// CSpoolDraft: the spool file written while the data arrives.
#include "spool/CSpoolDraft.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/FileIo.h"
#include "platform/RecordWriter.h"

std::unique_ptr<CSpoolDraft> CSpoolDraft::Begin(const std::string& directory, const std::string& sender,
                                                const std::vector<std::unique_ptr<MailRecipient>>& recipients) {
    std::unique_ptr<CSpoolDraft> draft(new CSpoolDraft());
    if (!spool::MakeRecipientEntries(sender, recipients, draft->entries)) return nullptr;
    draft->file = spool::CreatePartFile(directory, O_RDWR, draft->partPath, draft->number);
    if (!draft->file) return nullptr;
    draft->directory = directory;
    draft->sender = sender;
    // Dots and length are not known yet: zeros now, the values at Publish.
    RecordWriter writer(draft->file.Get());
    spool::WriteRecordHead(writer, sender, draft->entries, 0, 0);
    const off_t end = writer.Flush() ? ::lseek(draft->file.Get(), 0, SEEK_CUR) : -1;
    if (end < 8) return nullptr;  // the destructor removes the part file
    draft->messageStart = static_cast<std::uint64_t>(end);
    return draft;
}

CSpoolDraft::~CSpoolDraft() {
    if (!partPath.empty()) ::unlink(partPath.c_str());
}

std::uint32_t CSpoolDraft::GetLength() {
    return written > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(written);
}

void CSpoolDraft::Rewind() {
    readAt = 0;
}

int CSpoolDraft::Read(void* buffer, std::uint32_t count) {
    if (!file || failed) return -1;
    const std::uint64_t left = written - std::min(readAt, written);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>({count, left, INT_MAX}));
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < want) {
        const ssize_t n = ::pread(file.Get(), out + done, want - done, static_cast<off_t>(messageStart + readAt + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? -1 : static_cast<int>(done);
        done += static_cast<std::size_t>(n);
    }
    readAt += done;
    return static_cast<int>(done);
}

bool CSpoolDraft::Write(const void* buffer, std::uint32_t count) {
    // A spool record announces the length in 32 bits.
    if (!file || failed || written + count > UINT32_MAX) return !(failed = true);
    if (!WriteAll(file.Get(), buffer, count)) return !(failed = true);
    written += count;
    return true;
}

bool CSpoolDraft::Open() {
    return file && !failed;
}

bool CSpoolDraft::Matches(const std::string& where, const std::string& from,
                          const std::vector<spool::RecipientEntry>& wanted) const {
    return file && !failed && where == directory && from == sender && wanted == entries;
}

bool CSpoolDraft::Publish(std::int32_t dots, bool mayRelay, std::string* path) {
    if (!file || failed) return false;
    std::uint8_t fields[8];
    const auto length = static_cast<std::uint32_t>(written);
    for (int i = 0; i < 4; ++i) {
        fields[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(dots) >> (8 * i));
        fields[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    const auto trailer = spool::Trailer(mayRelay);
    const off_t at = static_cast<off_t>(messageStart - sizeof fields);
    if (::pwrite(file.Get(), fields, sizeof fields, at) != static_cast<ssize_t>(sizeof fields) ||
        !WriteAll(file.Get(), trailer.data(), trailer.size())) {
        failed = true;
        return false;
    }
    // From here the part file is the publisher's to keep or remove.
    const std::string part = std::move(partPath);
    partPath.clear();
    return spool::PublishPartFile(std::move(file), directory, part, number, path);
}
