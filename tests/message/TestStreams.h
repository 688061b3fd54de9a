// In-memory message streams for the message-format tests: a fixed text read
// back in chunks of a chosen size (to split delimiters and lines across
// reads), and a generated stream of any length that is never held whole.
#pragma once

#include "TestContent.h"
#include "foundation/CMailContent.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

class MemoryMailContent : public CMailContent {
public:
    explicit MemoryMailContent(std::string text, std::uint32_t chunk = 65536) : text(std::move(text)), chunk(chunk) {}

    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(text.size()); }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        const std::size_t n = std::min<std::size_t>({count, chunk, text.size() - position});
        std::memcpy(buffer, text.data() + position, n);
        position += n;
        return static_cast<int>(n);
    }
    bool Write(const void* buffer, std::uint32_t count) override {
        text.replace(position, std::min<std::size_t>(count, text.size() - position), static_cast<const char*>(buffer),
                     count);
        position += count;
        return true;
    }
    bool Open() override { return true; }

private:
    std::string text;
    std::uint32_t chunk;
    std::size_t position = 0;
};

// length bytes; byte i is produce(i). Read-only.
class GeneratedMailContent : public CMailContent {
public:
    GeneratedMailContent(std::size_t length, std::function<char(std::size_t)> produce)
        : length(length), produce(std::move(produce)) {}

    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(length); }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        const std::size_t n = std::min<std::size_t>(count, length - position);
        auto* out = static_cast<char*>(buffer);
        for (std::size_t i = 0; i < n; ++i) out[i] = produce(position + i);
        position += n;
        return static_cast<int>(n);
    }
    bool Write(const void*, std::uint32_t) override { return false; }
    bool Open() override { return true; }

private:
    std::size_t length;
    std::function<char(std::size_t)> produce;
    std::size_t position = 0;
};
