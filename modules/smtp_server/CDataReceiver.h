// CDataReceiver: turns the byte stream after DATA into the stored message.
//
// It finds the end-of-data line, removes the transparency dot at the start
// of lines (counting the removed bytes), stores bare LF line ends as CR LF,
// and writes the text into the message content in 64 KB blocks, so a
// message of any size costs one block of memory. Past the size limit the
// text is no longer stored, only scanned for its end, so the client still
// gets its answer in order.
//
// Only CR LF "." CR LF ends the data (the line before it must end in CR LF
// as well): a "." line with a bare LF on either side is message text. A
// server that also ended the data there would let a message smuggle a second
// one past a relay that does not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ModuleVisibility.h"

class CMailContent;

class MODULE_LOCAL CDataReceiver {
public:
    static constexpr std::size_t kBlockSize = 65536;

    // content must be open; maxSize bounds the stored text in bytes.
    CDataReceiver(CMailContent& content, std::uint64_t maxSize);
    CDataReceiver(const CDataReceiver&) = delete;
    CDataReceiver& operator=(const CDataReceiver&) = delete;

    // Takes bytes from the stream; returns how many were used. It stops
    // right after the end-of-data line: what follows belongs to the next
    // command.
    std::size_t Feed(const char* data, std::size_t size);
    bool Complete() const { return state == State::Done; }
    // Writes out what is still held. False when a write failed.
    bool Finish();

    bool Overflowed() const { return overflowed; }
    bool WriteFailed() const { return writeFailed; }
    std::int32_t DotsCount() const { return dots; }
    std::uint64_t StoredSize() const { return stored; }
    // Bytes read after the stored text reached the limit.
    std::uint64_t DiscardedSize() const { return discarded; }

private:
    enum class State { LineStart, Dot, DotCR, Body, Done };

    void Emit(const char* data, std::size_t size);
    void WriteBlock();

    CMailContent& content;
    std::uint64_t maxSize;
    std::vector<char> block;
    std::size_t held = 0;
    State state = State::LineStart;
    bool lastWasCR = false;       // Body: the byte before was a CR
    bool previousEndCRLF = true;  // the last line ended in CR LF (DATA's own line did)
    bool overflowed = false;
    bool writeFailed = false;
    std::int32_t dots = 0;
    std::uint64_t stored = 0;
    std::uint64_t discarded = 0;
};
