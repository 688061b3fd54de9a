// Fuzzes the remote spool file reader: any bytes either read back as fields
// within their capacities and a message that is exactly the rest of the
// file, or are refused as corrupt; a file that reads back is written again
// and re-read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "retrieval/CRemoteSpoolFile.h"

namespace {

// One private directory per fuzzing process.
class WorkDirectoryHolder {
public:
    WorkDirectoryHolder() {
        char pattern[] = "/tmp/velmora-fuzz-remotespool-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        path = pattern;
    }
    ~WorkDirectoryHolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

const std::string& WorkDirectory() {
    static const WorkDirectoryHolder holder;
    return holder.path;
}

std::string ContentOf(CMailContent& content) {
    std::string text;
    content.Rewind();
    char block[4096];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = WorkDirectory() + "/input.tmp";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CRemoteSpoolFile record;
    if (record.Read(path) != CRemoteSpoolFile::ReadResult::Ok) {
        if (record.message) std::abort();
        return 0;
    }
    if (!record.message || record.userId.size() > CRemoteSpoolFile::kUserCapacity ||
        record.userName.size() > CRemoteSpoolFile::kUserCapacity ||
        record.serverAddr.size() > CRemoteSpoolFile::kServerCapacity ||
        record.aliasAddress.size() > CRemoteSpoolFile::kAliasAddressCapacity || record.message->GetLength() > size)
        std::abort();
    const std::string message = ContentOf(*record.message);
    if (message.size() != record.message->GetLength()) std::abort();

    // Trailing blanks of the alias address are not written, so compare without them.
    std::string address = record.aliasAddress;
    while (!address.empty() && (address.back() == ' ' || address.back() == '\t')) address.pop_back();
    std::string again;
    if (!record.Write(*record.message, WorkDirectory(), &again)) std::abort();
    CRemoteSpoolFile reread;
    const bool same = reread.Read(again) == CRemoteSpoolFile::ReadResult::Ok && reread.userId == record.userId &&
                      reread.userName == record.userName && reread.serverAddr == record.serverAddr &&
                      reread.alias == record.alias && reread.aliasAddress == address &&
                      ContentOf(*reread.message) == message;
    ::unlink(again.c_str());
    if (!same) std::abort();
    return 0;
}
