// CMailLogViewer: reading a logged message back from its day's file.
#include "maillog/CMailLogViewer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "maillog/CMailLog.h"
#include "maillog/MailSearchRecord.h"
#include "platform/UniqueFd.h"

namespace {

UniqueFd OpenLog(const std::string& logRoot, const MailSearchRecord& record) {
    const std::string path = CMailLog::LogFilePath(logRoot, record.day, record.isLocal);
    if (path.empty()) return UniqueFd(-1);
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
}

// Reads up to count bytes at position, short only at the end of the file.
long ReadAt(int fd, char* buffer, std::size_t count, off_t position) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, buffer + done, count - done, position + static_cast<off_t>(done));
        if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

}  // namespace

MailLogView CMailLogViewer::View(const std::string& logRoot, const MailSearchRecord* record) {
    if (!record) return {false, kNoRecord};
    const UniqueFd file = OpenLog(logRoot, *record);
    if (!file) return {false, kCannotOpen};
    std::string text(std::min<std::size_t>(record->size, kShownBytes), '\0');
    const long n = ReadAt(file.Get(), text.data(), text.size(), static_cast<off_t>(record->offset));
    if (n <= 0) return {false, kNothingRead};
    text.resize(static_cast<std::size_t>(n));
    if (record->size > kShownBytes) text += std::string("\r\n\r\n") + kTooBig;
    return {true, std::move(text)};
}

bool CMailLogViewer::Copy(const std::string& logRoot, const MailSearchRecord& record,
                          const std::function<bool(const char* data, std::size_t size)>& sink) {
    const UniqueFd file = OpenLog(logRoot, record);
    if (!file) return false;
    constexpr std::size_t kBlock = 64 * 1024;
    std::vector<char> block(kBlock);
    std::uint32_t done = 0;
    while (done < record.size) {
        const std::size_t want = std::min<std::size_t>(kBlock, record.size - done);
        const long n = ReadAt(file.Get(), block.data(), want, static_cast<off_t>(record.offset) + done);
        if (n <= 0) return false;
        if (!sink(block.data(), static_cast<std::size_t>(n))) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}
