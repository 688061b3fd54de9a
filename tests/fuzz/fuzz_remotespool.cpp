// Fuzzes the remote spool file reader: any bytes either read back as fields
// within their capacities and a message that is exactly the rest of the
// file, or are refused as corrupt; a file that reads back is written again
// and re-read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzFiles.h"
#include "retrieval/CRemoteSpoolFile.h"

using fuzzfiles::ContentOf;
using fuzzfiles::WorkDirectory;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzzfiles::WriteInput(data, size);
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
