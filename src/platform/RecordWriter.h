// RecordWriter: the writing half of the length-prefixed record codec that
// the spool file and the Outbox file share.
//
// Numbers are little-endian. A string is a length prefix and its bytes: one
// byte below 255; 0xFF and a u16 up to 0xFFFD; 0xFF, 0xFFFF and a u32
// beyond. Fields are buffered so that a record of many short fields costs a
// few writes; the first failure sticks and every later call reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class RecordWriter {
public:
    static constexpr std::size_t kDefaultBuffer = 65536;

    // fd is not owned. Nothing reaches the file before Flush or a full buffer.
    explicit RecordWriter(int fd, std::size_t bufferSize = kDefaultBuffer);
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Each returns false once anything has failed.
    bool Bytes(const void* data, std::size_t count);
    bool U8(std::uint8_t value);
    bool U16(std::uint16_t value);
    bool U32(std::uint32_t value);
    // False for a text longer than a u32 can announce.
    bool String(std::string_view text);
    // Writes out what is buffered; false when any write failed.
    bool Flush();

private:
    int fd;
    std::size_t capacity;
    bool ok = true;
    std::vector<char> buffer;
};
