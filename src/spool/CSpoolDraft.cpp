// CSpoolDraft: the spool file written while the data arrives.
#include "spool/CSpoolDraft.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/FileIo.h"
#include "platform/Text.h"
#include "platform/RecordWriter.h"

std::unique_ptr<CSpoolDraft> CSpoolDraft::Begin(const std::string& directory, const std::string& sender,
                                                const std::vector<std::unique_ptr<MailRecipient>>& recipients) {
    std::unique_ptr<CSpoolDraft> draft(new CSpoolDraft());
    if (!spool::MakeRecipientEntries(sender, recipients, draft->entries)) return nullptr;
    draft->file = spool::CreatePartFile(directory, O_RDWR, draft->partPath, draft->number);
    if (!draft->file) return nullptr;
    draft->directory = directory;
    draft->sender = sender;
    // Dots and length are not known yet: zeros now, the values at Publish.
    RecordWriter writer(draft->file.Get());
    spool::WriteRecordHead(writer, sender, draft->entries, 0, 0);
    const off_t end = writer.Flush() ? ::lseek(draft->file.Get(), 0, SEEK_CUR) : -1;
    if (end < 8) return nullptr;  // the destructor removes the part file
    draft->messageStart = static_cast<std::uint64_t>(end);
    return draft;
}

CSpoolDraft::~CSpoolDraft() {
    if (!partPath.empty()) ::unlink(partPath.c_str());
}

std::uint32_t CSpoolDraft::GetLength() {
    return written > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(written);
}

void CSpoolDraft::Rewind() {
    readAt = 0;
}

int CSpoolDraft::Read(void* buffer, std::uint32_t count) {
    if (!file || failed) return -1;
    const std::uint64_t left = written - std::min(readAt, written);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>({count, left, INT_MAX}));
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < want) {
        const ssize_t n = ::pread(file.Get(), out + done, want - done, static_cast<off_t>(messageStart + readAt + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? -1 : static_cast<int>(done);
        done += static_cast<std::size_t>(n);
    }
    readAt += done;
    return static_cast<int>(done);
}

bool CSpoolDraft::Write(const void* buffer, std::uint32_t count) {
    // A spool record announces the length in 32 bits.
    if (!file || failed || written + count > UINT32_MAX) return !(failed = true);
    if (!WriteAll(file.Get(), buffer, count)) return !(failed = true);
    written += count;
    return true;
}

bool CSpoolDraft::Open() {
    return file && !failed;
}

bool CSpoolDraft::Matches(const std::string& where, const std::string& from,
                          const std::vector<spool::RecipientEntry>& wanted) const {
    return file && !failed && where == directory && from == sender && wanted == entries;
}

bool CSpoolDraft::Publish(std::int32_t dots, bool mayRelay, std::string* path, bool junk) {
    if (!file || failed) return false;
    std::uint8_t fields[8];
    const auto length = static_cast<std::uint32_t>(written);
    for (int i = 0; i < 4; ++i) {
        fields[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(dots) >> (8 * i));
        fields[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    const auto trailer = spool::Trailer(mayRelay, junk);
    const off_t at = static_cast<off_t>(messageStart - sizeof fields);
    if (::pwrite(file.Get(), fields, sizeof fields, at) != static_cast<ssize_t>(sizeof fields) ||
        !WriteAll(file.Get(), trailer.data(), trailer.size())) {
        failed = true;
        return false;
    }
    // From here the part file is the publisher's to keep or remove.
    const std::string part = std::move(partPath);
    partPath.clear();
    return spool::PublishPartFile(std::move(file), directory, part, number, path);
}

std::string CSpoolDraft::QueueId() const {
    char text[16];
    std::snprintf(text, sizeof text, "SMF%X", number);
    return text;
}

namespace {

// Reads the old message part front to back in blocks.
class PartReader {
public:
    PartReader(int fd, std::uint64_t start, std::uint64_t length) : fd(fd), start(start), length(length) {}
    // The next byte, or -1 at the end or on a read error (failed() tells).
    int Next() {
        if (index == held && !Fill()) return -1;
        return static_cast<unsigned char>(buffer[index++]);
    }
    std::uint64_t Offset() const { return base + index; }
    bool Failed() const { return failed; }

private:
    bool Fill() {
        base += held;
        index = held = 0;
        if (base >= length) return false;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - base));
        const ssize_t n = ::pread(fd, buffer, want, static_cast<off_t>(start + base));
        if (n <= 0) return !(failed = true);
        held = static_cast<std::size_t>(n);
        return true;
    }
    int fd;
    std::uint64_t start, length, base = 0;
    std::size_t index = 0, held = 0;
    bool failed = false;
    char buffer[65536];
};

// Whether the first line of a header field (without its line end) is an
// Authentication-Results field naming one of names as its service. One
// whose service is not on its first line is taken as naming it: it cannot
// be told apart without reading on, and dropping it costs nothing real.
bool ClaimsOwnName(const std::string& line, const std::vector<std::string>& names) {
    static constexpr std::string_view kField = "authentication-results";
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    std::string_view name(line.data(), colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (!EqualsNoCase(name, kField)) return false;
    std::size_t at = colon + 1;
    // White space and comments before the service's name.
    for (;;) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size() || line[at] != '(') break;
        const std::size_t close = line.find(')', at);
        if (close == std::string::npos) return true;
        at = close + 1;
    }
    if (at >= line.size()) return true;
    std::size_t end = at;
    while (end < line.size() && line[end] != ';' && line[end] != ' ' && line[end] != '\t' && line[end] != '(') ++end;
    const std::string id = FoldCase(line.substr(at, end - at));
    for (const std::string& own : names)
        if (id == own) return true;
    return false;
}

}  // namespace

bool CSpoolDraft::Rewrite(const std::string& lines, const std::vector<std::string>& ownNames) {
    if (!file || failed) return false;
    std::string newPath;
    std::uint32_t newNumber = 0;
    UniqueFd target = spool::CreatePartFile(directory, O_RDWR, newPath, newNumber);
    if (!target) return !(failed = true);
    // Removed again unless it takes this draft's place.
    struct Remover {
        std::string path;
        ~Remover() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } remover{newPath};
    RecordWriter writer(target.Get());
    spool::WriteRecordHead(writer, sender, entries, 0, 0);
    const off_t start = writer.Flush() ? ::lseek(target.Get(), 0, SEEK_CUR) : -1;
    if (start < 8) return !(failed = true);

    // The header line by line, up to its empty line; each field's first
    // kDecide bytes decide whether the field stays, the rest of a line
    // streams through (or is skipped) without being held.
    constexpr std::size_t kDecide = 1024;
    std::string out = lines;
    std::uint64_t total = lines.size();
    auto flush = [&] {
        if (!WriteAll(target.Get(), out.data(), out.size())) return false;
        out.clear();
        return true;
    };
    PartReader reader(file.Get(), messageStart, written);
    bool keepField = true, headerDone = false;
    std::string line;
    int c = 0;
    while (!headerDone) {
        // The start of one physical line.
        line.clear();
        while (line.size() < kDecide && (c = reader.Next()) >= 0) {
            line += static_cast<char>(c);
            if (c == '\n') break;
        }
        if (line.empty()) break;
        const bool ended = line.back() == '\n';
        if (line == "\r\n" || line == "\n") {
            headerDone = true;
            keepField = true;
        } else if (line[0] != ' ' && line[0] != '\t') {
            keepField = !ClaimsOwnName(line.substr(0, line.find_first_of("\r\n")), ownNames);
        }
        if (keepField) out += line, total += line.size();
        // The rest of a long line goes the way of its start.
        if (!ended)
            while ((c = reader.Next()) >= 0) {
                if (keepField) out += static_cast<char>(c), ++total;
                if (c == '\n') break;
            }
        if (out.size() >= 65536 && !flush()) return !(failed = true);
    }
    if (reader.Failed() || !flush()) return !(failed = true);
    // The body as it is, file to file.
    off_t from = static_cast<off_t>(messageStart + reader.Offset());
    std::uint64_t left = written - reader.Offset();
    total += left;
    while (left > 0) {
        const ssize_t n = ::copy_file_range(file.Get(), &from, target.Get(), nullptr, left, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // No kernel copy between these files: through a buffer.
            std::vector<char> block(65536);
            while (left > 0) {
                const ssize_t r = ::pread(file.Get(), block.data(), std::min<std::uint64_t>(block.size(), left), from);
                if (r <= 0 || !WriteAll(target.Get(), block.data(), static_cast<std::size_t>(r)))
                    return !(failed = true);
                from += r;
                left -= static_cast<std::uint64_t>(r);
            }
            break;
        }
        left -= static_cast<std::uint64_t>(n);
    }
    if (total > UINT32_MAX) return !(failed = true);
    // The new file takes the draft's place; the old one goes.
    ::unlink(partPath.c_str());
    partPath = std::move(remover.path);
    remover.path.clear();
    file = std::move(target);
    number = newNumber;
    messageStart = static_cast<std::uint64_t>(start);
    written = total;
    readAt = 0;
    return true;
}
