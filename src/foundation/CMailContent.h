// CMailContent: the message-content stream passed along the whole delivery
// path (spooler, routing, local delivery, notices, SMTP and POP3 clients).
//
// A message is a byte stream of known length that is read and written in
// blocks, never held whole in memory. Server modules call these operations
// through the object's virtual table, so the order of the virtual operations
// below is part of the module interface and must not change.
//
// ReadHead is the one bounded read of a message's start, for the callers
// that parse its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CMailContent {
public:
    CMailContent() = default;
    CMailContent(const CMailContent&) = delete;
    CMailContent& operator=(const CMailContent&) = delete;

    // 1. Current length in bytes (clamped to 4 GiB - 1: spool records carry 32 bits).
    virtual std::uint32_t GetLength() = 0;
    // 2. The next Read or Write starts at byte 0.
    virtual void Rewind() = 0;
    // 3. Up to count bytes into buffer: the number read, 0 at the end, -1 after a file error.
    virtual int Read(void* buffer, std::uint32_t count) = 0;
    // 4. True when all count bytes were written and handed to the system.
    virtual bool Write(const void* buffer, std::uint32_t count) = 0;
    // 5. True when the stream is ready for reading and writing.
    virtual bool Open() = 0;
    // 6. Deletes the backing storage.
    virtual ~CMailContent() = default;
};

// The head read for header parsing by delivery, notices and listings: a
// header that does not end within it is read up to its last whole line.
inline constexpr std::size_t kMessageHeadBytes = 65536;

// The first n bytes of the content (fewer when it is shorter or a read
// fails), read from its start; the content is rewound afterwards.
std::string ReadHead(CMailContent& content, std::size_t n);
