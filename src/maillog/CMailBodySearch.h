// CMailBodySearch: looks for words in the body of one logged message.
//
// The message is the byte range [offset, offset + size) of a log file. Its
// header is skipped up to the first empty line (a line feed after a line
// feed with only carriage returns between); a message whose size runs out
// before that has no body and matches nothing, so a text found only in the
// header never selects a message. The body is read in blocks of 1024 bytes
// and compared without regard to ASCII case; an occurrence across two
// blocks is found too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct MailSearchRecord;

class CMailBodySearch {
public:
    static constexpr std::size_t kBlockSize = 1024;
    // Reads up to count bytes at position: the count read, 0 at the end,
    // negative on failure.
    using Reader = std::function<long(std::uint64_t position, char* buffer, std::size_t count)>;

    CMailBodySearch(Reader reader, std::uint64_t offset, std::uint32_t size);

    // Where the body starts, counted from the message's start; nothing when
    // the header does not end within the size or reading fails.
    std::optional<std::uint32_t> BodyStart();
    // Whether text occurs in the body (an empty text never does).
    bool Contains(std::string_view text);
    // "All Words": the whole containing text as one string; "Any Word": any
    // one of its words, each looked for from the start of the body.
    bool Matches(std::string_view containing, bool allWords);

    // The words of a containing text: split at CR, LF and blanks.
    static std::vector<std::string> Words(std::string_view containing);
    // The search of one record's message in its log file below logRoot; a
    // file that cannot be opened means not found.
    static bool MatchesRecord(const std::string& logRoot, const MailSearchRecord& record, std::string_view containing,
                              bool allWords);

private:
    Reader reader;
    std::uint64_t offset;
    std::uint32_t size;
    bool headerRead = false;
    std::optional<std::uint32_t> bodyStart;
};
