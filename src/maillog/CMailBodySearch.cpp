// CMailBodySearch: the header skip, the block-wise comparison and the two
// word modes.
#include "maillog/CMailBodySearch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "maillog/CMailLog.h"
#include "maillog/MailSearchRecord.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace {

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

CMailBodySearch::CMailBodySearch(Reader reader, std::uint64_t offset, std::uint32_t size)
    : reader(std::move(reader)), offset(offset), size(size) {}

std::optional<std::uint32_t> CMailBodySearch::BodyStart() {
    if (headerRead) return bodyStart;
    headerRead = true;
    char block[kBlockSize];
    std::uint32_t position = 0;
    bool afterLineFeed = false;
    while (position < size) {
        const std::size_t want = std::min<std::size_t>(kBlockSize, size - position);
        const long n = reader(offset + position, block, want);
        if (n <= 0) return bodyStart;
        for (long i = 0; i < n; ++i) {
            const char c = block[i];
            if (c == '\n') {
                if (afterLineFeed) {
                    bodyStart = position + static_cast<std::uint32_t>(i) + 1;
                    return bodyStart;
                }
                afterLineFeed = true;
            } else if (c != '\r') {
                afterLineFeed = false;
            }
        }
        position += static_cast<std::uint32_t>(std::min<long>(n, static_cast<long>(want)));
    }
    return bodyStart;
}

bool CMailBodySearch::Contains(std::string_view text) {
    if (text.empty()) return false;
    const std::optional<std::uint32_t> start = BodyStart();
    if (!start) return false;
    std::string needle(text);
    std::transform(needle.begin(), needle.end(), needle.begin(), Fold);
    // The tail of the previous block, one byte shorter than the text, is
    // kept in front of the next, so an occurrence across the two is found.
    std::string window;
    char block[kBlockSize];
    std::uint32_t position = *start;
    while (position < size) {
        const std::size_t want = std::min<std::size_t>(kBlockSize, size - position);
        const long n = reader(offset + position, block, want);
        if (n <= 0) return false;
        const std::size_t got = std::min<std::size_t>(static_cast<std::size_t>(n), want);
        const std::size_t kept = window.size();
        window.resize(kept + got);
        std::transform(block, block + got, window.begin() + static_cast<std::ptrdiff_t>(kept), Fold);
        if (window.find(needle) != std::string::npos) return true;
        if (window.size() >= needle.size()) window.erase(0, window.size() - (needle.size() - 1));
        position += static_cast<std::uint32_t>(got);
    }
    return false;
}

std::vector<std::string> CMailBodySearch::Words(std::string_view containing) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : containing) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

bool CMailBodySearch::Matches(std::string_view containing, bool allWords) {
    if (allWords) return Contains(containing);
    for (const std::string& word : Words(containing))
        if (Contains(word)) return true;
    return false;
}

bool CMailBodySearch::MatchesRecord(const std::string& logRoot, const MailSearchRecord& record,
                                    std::string_view containing, bool allWords) {
    const std::string path = CMailLog::LogFilePath(logRoot, record.day, record.isLocal);
    if (path.empty()) return false;
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file) return false;
    const int fd = file.Get();
    CMailBodySearch search(
        [fd](std::uint64_t position, char* buffer, std::size_t count) {
            return static_cast<long>(::pread(fd, buffer, count, static_cast<off_t>(position)));
        },
        record.offset, record.size);
    return search.Matches(containing, allWords);
}
