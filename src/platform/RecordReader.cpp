// RecordReader: bounded, buffered field reads.
#include "platform/RecordReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

RecordReader::RecordReader(int fd, std::uint64_t limit, std::uint32_t maxString)
    : fd(fd), remaining(limit), maxString(maxString) {}

bool RecordReader::Take(void* out, std::size_t count) {
    if (count > remaining) return false;
    auto* bytes = static_cast<char*>(out);
    const std::size_t buffered = std::min(count, end - position);
    if (buffered > 0) {
        std::memcpy(bytes, buffer.data() + position, buffered);
        position += buffered;
        bytes += buffered;
        count -= buffered;
        remaining -= buffered;
    }
    if (count == 0) return true;
    if (count >= kBlockSize) {
        if (!ReadFull(bytes, count)) return false;
        remaining -= count;
        return true;
    }
    // Refill with as much of the record's span as one block holds.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, remaining));
    if (buffer.size() < want) buffer.resize(want);
    if (!ReadFull(buffer.data(), want)) return false;
    end = want;
    std::memcpy(bytes, buffer.data(), count);
    position = count;
    remaining -= count;
    return true;
}

bool RecordReader::U8(std::uint8_t& value) {
    return Take(&value, 1);
}

bool RecordReader::U16(std::uint16_t& value) {
    std::uint8_t b[2];
    if (!Take(b, sizeof b)) return false;
    value = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool RecordReader::U32(std::uint32_t& value) {
    std::uint8_t b[4];
    if (!Take(b, sizeof b)) return false;
    value = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
            (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    return true;
}

bool RecordReader::String(std::string& text) {
    std::uint8_t shortLength = 0;
    if (!U8(shortLength)) return false;
    std::uint32_t length = shortLength;
    if (shortLength == 0xFF) {
        std::uint16_t middle = 0;
        if (!U16(middle)) return false;
        if (middle == 0xFFFF) {
            if (!U32(length)) return false;
        } else if (middle == 0xFFFE) {
            return false;
        } else {
            length = middle;
        }
    }
    if (length > maxString || length > remaining) return false;
    text.resize(length);
    return Take(text.data(), length);
}

bool RecordReader::PutBack() {
    const std::size_t ahead = end - position;
    position = end = 0;
    if (ahead == 0) return true;
    return ::lseek(fd, -static_cast<off_t>(ahead), SEEK_CUR) >= 0;
}

bool RecordReader::ReadFull(char* out, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::read(fd, out, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;  // the file is shorter than it said
        out += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}
