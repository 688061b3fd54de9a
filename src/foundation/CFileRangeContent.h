// CFileRangeContent: a message read where it lies in a file.
//
// A spool file holds the message after its record, a stored message is its
// ".mel" file whole; their readers only read, so they are served straight
// from the open file instead of a temporary copy (one file less to create,
// fill and delete per message). The view is read-only: Write fails.
#pragma once

#include <cstdint>

#include "foundation/CMailContent.h"
#include "platform/UniqueFd.h"

class CFileRangeContent : public CMailContent {
public:
    // Takes the open file; the message is the length bytes at offset.
    CFileRangeContent(UniqueFd file, std::uint64_t offset, std::uint32_t length);
    ~CFileRangeContent() override;

    std::uint32_t GetLength() override { return length; }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override;
    bool Write(const void* buffer, std::uint32_t count) override;
    bool Open() override { return file.Get() >= 0; }

private:
    UniqueFd file;
    std::uint64_t offset;
    std::uint32_t length;
    std::uint32_t position = 0;
};
