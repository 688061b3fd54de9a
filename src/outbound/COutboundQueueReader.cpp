// COutboundQueueReader: opening an Outbox file and reading its sender and
// message back.
#include "outbound/COutboundQueueReader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "foundation/CTempMailContent.h"
#include "outbound/COutboundQueue.h"
#include "platform/FileIo.h"

COutboundQueueReader::COutboundQueueReader(const std::string& directory) : directory(ForwardSlashes(directory)) {}

COutboundQueueReader::~COutboundQueueReader() = default;

bool COutboundQueueReader::OpenMailFile(const std::string& path) {
    record.reset();
    file.Reset();
    senderRead = false;
    senderDamaged = false;
    filePath = ForwardSlashes(path);
    int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    file.Reset(fd);
    // A writer still holds the file while its message is incomplete.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        file.Reset();
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        file.Reset();
        return false;
    }
    record = std::make_unique<RecordReader>(fd, static_cast<std::uint64_t>(info.st_size),
                                            COutboundQueue::kMaxSenderBytes);
    return true;
}

std::string COutboundQueueReader::ReadSender() {
    std::string text;
    if (!record) return text;
    senderRead = true;
    if (!record->String(text)) {
        senderDamaged = true;
        text.clear();
    }
    return text;
}

std::unique_ptr<CMailContent> COutboundQueueReader::ExtractBody() {
    if (!file) return nullptr;
    // The message starts after the sender record, read or not.
    if (!senderRead) ReadSender();
    if (senderDamaged) return nullptr;
    if (record) {
        // Bytes read ahead go back, so the copy starts right after the record.
        const bool positioned = record->PutBack();
        record.reset();
        if (!positioned) return nullptr;
    }
    const off_t position = ::lseek(file.Get(), 0, SEEK_CUR);
    struct stat info {};
    if (position < 0 || ::fstat(file.Get(), &info) != 0) return nullptr;
    const off_t remainingBytes = info.st_size - position;
    // A message stream is at most 4 GiB - 1 bytes long.
    if (remainingBytes <= 0 || remainingBytes > static_cast<off_t>(0xFFFFFFFEu)) return nullptr;
    auto content = std::make_unique<CTempMailContent>();
    if (!content->Open()) return nullptr;
    std::vector<char> block(COutboundQueue::kCopyBlock);
    std::uint64_t remaining = static_cast<std::uint64_t>(remainingBytes);
    while (remaining > 0) {
        ssize_t n = ::read(file.Get(), block.data(), std::min<std::uint64_t>(remaining, COutboundQueue::kCopyBlock));
        if (n < 0 && errno == EINTR) continue;
        // A short or failed read would hand on a cut message as if whole.
        if (n <= 0) return nullptr;
        if (!content->Write(block.data(), static_cast<std::uint32_t>(n))) return nullptr;
        remaining -= static_cast<std::uint64_t>(n);
    }
    content->Rewind();
    return content;
}

