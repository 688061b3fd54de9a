// RecordWriter: buffered field writes (see the header for the encoding).
#include "platform/RecordWriter.h"

#include "platform/FileIo.h"

RecordWriter::RecordWriter(int fd, std::size_t bufferSize) : fd(fd), capacity(bufferSize > 0 ? bufferSize : 1) {
    buffer.reserve(capacity);
}

bool RecordWriter::Bytes(const void* data, std::size_t count) {
    if (!ok) return false;
    if (buffer.size() + count > capacity) {
        Flush();
        if (count >= capacity) return ok = ok && WriteAll(fd, data, count);
    }
    const auto* bytes = static_cast<const char*>(data);
    buffer.insert(buffer.end(), bytes, bytes + count);
    return ok;
}

bool RecordWriter::U8(std::uint8_t value) {
    return Bytes(&value, 1);
}

bool RecordWriter::U16(std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    return Bytes(bytes, sizeof bytes);
}

bool RecordWriter::U32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return Bytes(bytes, sizeof bytes);
}

bool RecordWriter::String(std::string_view text) {
    const std::size_t length = text.size();
    if (length > UINT32_MAX) return ok = false;
    if (length < 255) {
        U8(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFFFD) {
        U8(0xFF);
        U16(static_cast<std::uint16_t>(length));
    } else {
        U8(0xFF);
        U16(0xFFFF);
        U32(static_cast<std::uint32_t>(length));
    }
    return Bytes(text.data(), length);
}

bool RecordWriter::Flush() {
    if (ok && !buffer.empty()) ok = WriteAll(fd, buffer.data(), buffer.size());
    buffer.clear();
    return ok;
}
