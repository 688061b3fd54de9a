// CFileRangeContent: positioned reads from the open file.
#include "foundation/CFileRangeContent.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

CFileRangeContent::CFileRangeContent(UniqueFd source, std::uint64_t start, std::uint32_t size)
    : file(std::move(source)), offset(start), length(size) {}

CFileRangeContent::~CFileRangeContent() = default;

int CFileRangeContent::Read(void* buffer, std::uint32_t count) {
    if (!file) return -1;
    const std::uint32_t want = std::min<std::uint32_t>(count, length - position);
    if (want == 0) return 0;
    ssize_t n;
    do {
        n = ::pread(file.Get(), buffer, want, static_cast<off_t>(offset + position));
    } while (n < 0 && errno == EINTR);
    // The file shrinking under us reads as an error, not as a short message.
    if (n <= 0) return -1;
    position += static_cast<std::uint32_t>(n);
    return static_cast<int>(n);
}

bool CFileRangeContent::Write(const void*, std::uint32_t) {
    return false;
}
