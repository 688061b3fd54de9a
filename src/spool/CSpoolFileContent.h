// CSpoolFileContent: the message of a spool file, read where it lies.
//
// A spool file holds the raw message after its record; routing only reads it, so it is
// served straight from the spool file instead of being copied into a
// temporary file first (one file less to create, fill and delete per
// message). The view is read-only: Write fails.
#pragma once

#include <cstdint>

#include "foundation/CMailContent.h"
#include "platform/UniqueFd.h"

class CSpoolFileContent : public CMailContent {
public:
    // Takes the open spool file; the message is the length bytes at offset.
    CSpoolFileContent(UniqueFd file, std::uint64_t offset, std::uint32_t length);
    ~CSpoolFileContent() override;

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
