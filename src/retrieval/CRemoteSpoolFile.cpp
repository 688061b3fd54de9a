// CRemoteSpoolFile: writing and reading remote spool files (see the header
// for the format).
#include "retrieval/CRemoteSpoolFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/CFileRangeContent.h"
#include "platform/FileIo.h"
#include "platform/RecordReader.h"
#include "platform/RecordWriter.h"
#include "platform/UniqueFd.h"

namespace {

// Name collisions are the only reason to try another number.
constexpr unsigned kNameAttempts = 4096;
constexpr std::size_t kBlockSize = 65536;

// Short names as the Outbox's: "" for a number no name uses.
std::string SpoolName(const std::string& directory, std::uint32_t number, const char* extension) {
    const std::string name = ShortHexName(CRemoteSpoolFile::kPrefix, number, extension);
    return name.empty() ? name : directory + "/" + name;
}

// The part file goes unless released, so a failed write leaves nothing.
class PartRemover {
public:
    explicit PartRemover(std::string path) : path(std::move(path)) {}
    ~PartRemover() {
        if (!path.empty()) ::unlink(path.c_str());
    }
    PartRemover(const PartRemover&) = delete;
    PartRemover& operator=(const PartRemover&) = delete;
    void Release() { path.clear(); }

private:
    std::string path;
};

void PutText(RecordWriter& writer, const std::string& text) {
    writer.U32(static_cast<std::uint32_t>(text.size()));
    writer.Bytes(text.data(), text.size());
}

bool TakeText(RecordReader& reader, std::size_t capacity, std::string& text) {
    std::uint32_t length = 0;
    if (!reader.U32(length) || length > capacity || length > reader.Remaining()) return false;
    text.assign(length, '\0');
    return reader.Take(text.data(), length);
}

}  // namespace

bool CRemoteSpoolFile::Write(CMailContent& content, const std::string& directory, std::string* path) const {
    std::string address = aliasAddress;
    while (!address.empty() && (address.back() == ' ' || address.back() == '\t')) address.pop_back();
    if (userId.size() > kUserCapacity || userName.size() > kUserCapacity || serverAddr.size() > kServerCapacity ||
        address.size() > kAliasAddressCapacity)
        return false;

    std::uint32_t number = 0;
    std::string partPath;
    UniqueFd file =
        CreateExclusive([&](unsigned) { return SpoolName(directory, number = NextFileNumber(), kPartExtension); },
                        kNameAttempts, O_WRONLY, 0640, partPath);
    if (!file) return false;
    PartRemover remover(partPath);

    const std::uint32_t length = content.GetLength();
    RecordWriter writer(file.Get());
    PutText(writer, userId);
    PutText(writer, userName);
    PutText(writer, serverAddr);
    writer.U32(0);
    writer.U32(alias ? 1 : 0);
    PutText(writer, address);
    writer.U32(length);
    if (!writer.Flush()) return false;

    content.Rewind();
    std::vector<char> block(kBlockSize);
    std::uint64_t copied = 0;
    for (;;) {
        const int n = content.Read(block.data(), kBlockSize);
        if (n < 0) return false;
        if (n == 0) break;
        copied += static_cast<std::uint32_t>(n);
        // More bytes than announced would read back as a corrupt file.
        if (copied > length || !WriteAll(file.Get(), block.data(), static_cast<std::size_t>(n))) return false;
    }
    if (copied != length || ::fsync(file.Get()) != 0 || ::close(file.Release()) != 0) return false;

    std::string finalPath = SpoolName(directory, number, kExtension);
    for (unsigned attempt = 0;; ++attempt) {
        if (!finalPath.empty()) {
            if (RenameNoReplace(partPath, finalPath)) break;
            if (errno != EEXIST) return false;
        }
        if (attempt + 1 >= kNameAttempts) return false;
        finalPath = SpoolName(directory, NextFileNumber(), kExtension);
    }
    remover.Release();
    if (!SyncDirectory(directory)) {
        // Not durable: the caller keeps the message on the server.
        ::unlink(finalPath.c_str());
        return false;
    }
    if (path) *path = finalPath;
    return true;
}

CRemoteSpoolFile::ReadResult CRemoteSpoolFile::Read(const std::string& path) {
    message.reset();
    // Non-blocking so that a FIFO under a spool name cannot hang the reader.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!file || ::fstat(file.Get(), &info) != 0) return ReadResult::OpenFailed;
    if (!S_ISREG(info.st_mode)) return ReadResult::Corrupt;

    const auto size = static_cast<std::uint64_t>(info.st_size);
    RecordReader reader(file.Get(), size, 0);
    std::uint32_t reserved = 1;
    std::uint32_t flag = 2;
    std::uint32_t length = 0;
    if (!TakeText(reader, kUserCapacity, userId) || !TakeText(reader, kUserCapacity, userName) ||
        !TakeText(reader, kServerCapacity, serverAddr) || !reader.U32(reserved) || reserved != 0 || !reader.U32(flag) ||
        flag > 1 || !TakeText(reader, kAliasAddressCapacity, aliasAddress) || !reader.U32(length) ||
        length != reader.Remaining())
        return ReadResult::Corrupt;
    alias = flag == 1;
    message = std::make_unique<CFileRangeContent>(std::move(file), size - length, length);
    return ReadResult::Ok;
}
