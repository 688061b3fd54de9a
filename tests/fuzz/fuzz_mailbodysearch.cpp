// Fuzz target: the mail log search's header skip and body search over
// arbitrary log bytes, read back in short pieces as a file may give them.
//
// Input: a flags byte (bit 0 "All Words"; bits 1-3 k, one read returning at
// most 4^k bytes; bit 4 the message claiming 5 bytes more than the file
// holds; bits 5-7 the message's offset), a length byte, that many bytes of
// containing text, then the log. Besides memory safety it checks the block
// search against a search of the whole body held at once: the body starts
// within the message, and each word is found exactly when it is there.
#include "maillog/CMailBodySearch.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Folded(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool allWords = (data[0] & 1) != 0;
    const std::size_t mostPerRead = std::size_t{1} << (((data[0] >> 1) & 7) * 2);
    const std::size_t textLength = std::min<std::size_t>(data[1], size - 2);
    const std::string containing(reinterpret_cast<const char*>(data + 2), textLength);
    const std::string log(reinterpret_cast<const char*>(data + 2 + textLength), size - 2 - textLength);
    const std::size_t offset = std::min<std::size_t>(log.size(), data[0] >> 5);
    const std::uint32_t length = static_cast<std::uint32_t>(log.size() - offset + (data[0] & 0x10 ? 5 : 0));

    const auto reader = [&log, mostPerRead](std::uint64_t position, char* buffer, std::size_t count) -> long {
        if (position >= log.size()) return 0;
        const std::size_t n = std::min({count, mostPerRead, log.size() - static_cast<std::size_t>(position)});
        std::memcpy(buffer, log.data() + position, n);
        return static_cast<long>(n);
    };
    CMailBodySearch search(reader, offset, length);
    const auto start = search.BodyStart();
    if (start && *start > length) std::abort();

    // The oracle: the body as one string (up to the file's end).
    std::string body;
    if (start && offset + *start <= log.size())
        body = Folded(log.substr(offset + *start, std::min<std::size_t>(length - *start, log.size())));
    const auto present = [&](const std::string& word) {
        return start && !word.empty() && body.find(Folded(word)) != std::string::npos;
    };
    if (search.Contains(containing) != present(containing)) std::abort();
    bool any = false;
    for (const std::string& word : CMailBodySearch::Words(containing)) {
        if (word.find_first_of(" \r\n\t") != std::string::npos) std::abort();
        any = any || present(word);
    }
    if (search.Matches(containing, allWords) != (allWords ? present(containing) : any)) std::abort();
    return 0;
}
