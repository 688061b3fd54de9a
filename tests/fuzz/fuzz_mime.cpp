// Fuzz target: the MIME walk in list mode and, for the first attachments
// found, in extraction mode, over a stream that hands out the input in
// reads of a fuzzed size (so delimiters and lines split across reads).
//
// Checks that every pass ends, and that no body is larger than the message
// it came from (three times that for uudecoding, whose last group on a line
// may be cut short).
#include "foundation/CMailContent.h"
#include "message/CMimeMessage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class FuzzContent : public CMailContent {
public:
    FuzzContent(const char* data, std::size_t size, std::size_t chunk) : data(data), size(size), chunk(chunk) {}
    std::uint32_t GetLength() override { return static_cast<std::uint32_t>(size); }
    void Rewind() override { position = 0; }
    int Read(void* buffer, std::uint32_t count) override {
        const std::size_t n = std::min<std::size_t>({count, chunk, size - position});
        std::memcpy(buffer, data + position, n);
        position += n;
        return static_cast<int>(n);
    }
    bool Write(const void*, std::uint32_t) override { return false; }
    bool Open() override { return true; }

private:
    const char* data;
    std::size_t size;
    std::size_t chunk;
    std::size_t position = 0;
};

void ParseOnce(FuzzContent& content, std::size_t size, const std::string& name) {
    content.Rewind();
    CMimeMessage message;
    if (message.Parse(&content, name) && message.GetBody()->GetLength() > 3 * size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // First byte: the read size (1 to 256 bytes, or whole 64 KiB reads).
    const std::size_t chunk = data[0] == 0 ? 65536 : data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;
    FuzzContent content(text, length, chunk);

    CMimeMessage listed;
    if (!listed.Parse(&content, "")) {
        if (length != 0) std::abort();  // an in-memory, non-empty stream always parses
        return 0;
    }
    if (listed.GetBody()->GetLength() > length) std::abort();
    const auto attachments = listed.GetAttachments();
    for (std::size_t i = 0; i < attachments.size() && i < 3; ++i)
        if (!attachments[i].name.empty()) ParseOnce(content, length, attachments[i].name);
    ParseOnce(content, length, "no such attachment");
    return 0;
}
