// RecordReader: the reading half of the length-prefixed record codec that
// the spool file and the Outbox file share (encoding: see RecordWriter.h).
//
// The reader trusts nothing it reads: it is told how many bytes the record
// may span (the rest of the file) and refuses any field past that, and any
// string over its bound, before it allocates or reads anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class RecordReader {
public:
    static constexpr std::size_t kBlockSize = 65536;

    // fd is not owned and is read from its current position; limit: bytes
    // the record may span; maxString: longest string accepted.
    RecordReader(int fd, std::uint64_t limit, std::uint32_t maxString);
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // Bytes of the limit not yet handed out.
    std::uint64_t Remaining() const { return remaining; }

    bool Take(void* out, std::size_t count);
    bool U8(std::uint8_t& value);
    bool U16(std::uint16_t& value);
    bool U32(std::uint32_t& value);
    // False for a missing, truncated or over-long string, and for the
    // wide-character marker, which these files never hold.
    bool String(std::string& text);
    // Moves the file position back over what was read ahead, so the file
    // continues right after the last field handed out.
    bool PutBack();

private:
    bool ReadFull(char* out, std::size_t count);

    int fd;
    std::uint64_t remaining;
    std::uint32_t maxString;
    std::vector<char> buffer;
    std::size_t position = 0;
    std::size_t end = 0;
};
