// CNetwareExport: the Netware row and the export of a delivered message.
#include "delivery/CNetwareExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/CMailContent.h"
#include "foundation/OdbcConnectionInfo.h"
#include "foundation/RecordVersion.h"
#include "foundation/StringFormat.h"
#include "foundation/VersionedCache.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

constexpr std::uint32_t kBlockSize = 65536;
// Numbered names tried when "%d%d%d%d.cnm" is taken within one second.
constexpr unsigned kNameAttempts = 10000;

std::string FileError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::optional<NetwareSettings> CNetwareExport::LoadNetwareSettings(SQLHDBC connection, long accountId) {
    // Read for every message an account receives: kept while the record
    // version stays, read before the row so a change meanwhile is not missed.
    static VersionedCache<long, std::optional<NetwareSettings>> kept(1024);
    const std::optional<std::int64_t> version = RecordVersion::ReadForDeliverySettings(connection);
    if (version)
        if (std::optional<std::optional<NetwareSettings>> hit = kept.Find(*version, accountId)) return *hit;
    std::optional<CNetwareRows::Row> row;
    if (!CNetwareRows::Read(connection, accountId, row)) return std::nullopt;
    std::optional<NetwareSettings> found;
    // A row without a directory exports nowhere.
    if (row && row->isNetware && !Trim(row->settings.mailPath).empty()) found = std::move(row->settings);
    if (version && !OdbcConnectionInfo::IsLost(connection)) kept.Store(*version, accountId, found);
    return found;
}

CNetwareExport::Result CNetwareExport::ExportToNetware(const NetwareSettings& settings, CMailContent& content,
                                                       std::uint32_t length, std::time_t now, std::string* writtenPath,
                                                       std::string& problem) {
    const std::string directory = ForwardSlashes(std::string(Trim(settings.mailPath)));
    if (directory.empty()) {
        problem = "no Netware directory";
        return Result::Failed;
    }
    // A hidden name the client's "*.cnm" never matches while the bytes go in.
    std::string partPath;
    UniqueFd file = CreateExclusive(
        [&](unsigned) { return StringPrintf("%s/.velmora-%08x.part", directory.c_str(), NextFileNumber()); }, 100,
        O_WRONLY, 0640, partPath);
    if (!file) {
        problem = FileError("cannot create a file in", directory);
        return Result::Failed;
    }

    // Every byte of the message, or nothing: a short read is a failure too.
    std::vector<char> block(kBlockSize);
    std::uint32_t copied = 0;
    bool written = true;
    content.Rewind();
    while (written && copied < length) {
        const std::uint32_t want = std::min<std::uint32_t>(kBlockSize, length - copied);
        const int n = content.Read(block.data(), want);
        if (n <= 0) {
            problem = StringPrintf("the message ended after %u of %u bytes", copied, length);
            written = false;
            break;
        }
        if (!WriteAll(file.Get(), block.data(), static_cast<std::size_t>(n))) {
            problem = FileError("cannot write", partPath);
            written = false;
            break;
        }
        copied += static_cast<std::uint32_t>(n);
    }
    if (written && ::fdatasync(file.Get()) != 0) {
        problem = FileError("cannot sync", partPath);
        written = false;
    }
    if (written && ::close(file.Release()) != 0) {
        problem = FileError("cannot close", partPath);
        written = false;
    }
    file.Reset();

    std::string finalPath;
    if (written) {
        std::tm local{};
        localtime_r(&now, &local);
        const std::string stem =
            StringPrintf("%s/%d%d%d%d", directory.c_str(), local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        written = false;
        for (unsigned suffix = 0; suffix < kNameAttempts; ++suffix) {
            finalPath = suffix == 0 ? stem + ".cnm" : StringPrintf("%s_%u.cnm", stem.c_str(), suffix);
            if (RenameNoReplace(partPath, finalPath)) {
                written = true;
                break;
            }
            if (errno != EEXIST) break;
        }
        if (!written) problem = FileError("cannot name the file", finalPath);
    }
    if (!written) {
        ::unlink(partPath.c_str());
        return Result::Failed;
    }
    // The name lasts only once the directory is synced; the file is whole
    // either way, so a failed sync is no reason to deliver twice.
    SyncDirectory(directory);
    if (writtenPath) *writtenPath = finalPath;
    return settings.leaveCopy ? Result::Copied : Result::Taken;
}

bool CNetwareExport::SaveNetwareSettings(SQLHDBC connection, long accountId,
                                         const std::optional<NetwareSettings>& wanted) {
    // The row as stored, whether or not it exports (an empty path is still
    // an entry).
    std::optional<CNetwareRows::Row> row;
    if (!CNetwareRows::Read(connection, accountId, row)) return false;
    std::optional<NetwareSettings> held;
    if (row) held = row->settings;
    return CNetwareRows::Write(connection, accountId, held, wanted);
}

bool CNetwareExport::IsUsableAddress(const std::string& address) {
    return address.size() >= 2 && address.find('@') != std::string::npos;
}

bool CNetwareExport::SplitAddress(const std::string& address, NetwareSettings& settings) {
    if (!IsUsableAddress(address)) return false;
    if (address.find_first_of(" \t\r\n<>\"(),;:") != std::string::npos) return false;
    const std::size_t at = address.rfind('@');
    const std::string user = address.substr(0, at);
    const std::string domain = address.substr(at + 1);
    if (user.empty() || domain.empty() || user.size() > kMaxUserName || domain.size() > kMaxDomain) return false;
    settings.userName = user;
    settings.domain = domain;
    return true;
}
