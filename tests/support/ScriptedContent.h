// ScriptedContent: a message held in memory that fails or lies on demand,
// as a file on a failing disk would: reads fail once failAfter bytes are
// handed out, the length claims lengthDelta bytes more than there are, and
// its destruction is reported. Reads hand out at most chunk bytes each, so
// lines and delimiters split across reads.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/CMailContent.h"

class ScriptedContent : public CMailContent {
public:
    explicit ScriptedContent(std::string text, bool* destroyed = nullptr)
        : text(std::move(text)), destroyed(destroyed) {}
    ~ScriptedContent() override {
        if (destroyed) *destroyed = true;
    }
    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(text.size()) + lengthDelta; }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        if (failAfter >= 0 && position >= static_cast<std::size_t>(failAfter)) return -1;
        const std::size_t n = std::min<std::size_t>({count, text.size() - position, chunk});
        std::memcpy(buffer, text.data() + position, n);
        position += n;
        return static_cast<int>(n);
    }
    bool Write(const void*, std::uint32_t) override { return false; }
    bool Open() override { return true; }

    std::string text;
    bool* destroyed;
    std::size_t position = 0;
    long failAfter = -1;
    std::uint32_t lengthDelta = 0;
    std::size_t chunk = 1000;
};
