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
#include "foundation/OdbcStatement.h"
#include "foundation/RecordVersion.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "foundation/VersionedCache.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

constexpr std::uint32_t kBlockSize = 65536;
// Numbered names tried when "%d%d%d%d.cnm" is taken within one second.
constexpr unsigned kNameAttempts = 10000;

// A yes/no column read as text: SQLite gives 1/0, other backends may spell it.
bool IsYes(const std::string& text) {
    const std::string value = FoldCase(std::string(Trim(text)));
    return value == "1" || value == "-1" || value == "true" || value == "yes";
}

SqlTrusted YesNo(bool value) {
    return value ? SqlTrusted("true") : SqlTrusted("false");
}

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
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql(
            "SELECT IsNetware, MailPath, UserName, Domain,LeaveCopy  FROM Netware WHERE aAccountId = %ld", accountId)))
        return std::nullopt;
    std::optional<NetwareSettings> found;
    if (statement.Fetch()) {
        std::string isNetware, leaveCopy;
        NetwareSettings settings;
        statement.GetText(1, isNetware);
        statement.GetText(2, settings.mailPath);
        statement.GetText(3, settings.userName);
        statement.GetText(4, settings.domain);
        statement.GetText(5, leaveCopy);
        settings.leaveCopy = IsYes(leaveCopy);
        // A row without a directory exports nowhere.
        if (IsYes(isNetware) && !Trim(settings.mailPath).empty()) found = std::move(settings);
    }
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
    std::optional<NetwareSettings> held;
    {
        // The row as stored, whether or not it exports (an empty path is
        // still an entry).
        OdbcStatement statement(connection);
        if (!statement.ExecDirect(FormatSql("SELECT MailPath, UserName, Domain,LeaveCopy FROM Netware WHERE "
                                            "aAccountId = %ld",
                                            accountId)))
            return false;
        if (statement.Fetch()) {
            NetwareSettings row;
            std::string leaveCopy;
            statement.GetText(1, row.mailPath);
            statement.GetText(2, row.userName);
            statement.GetText(3, row.domain);
            statement.GetText(4, leaveCopy);
            row.leaveCopy = IsYes(leaveCopy);
            held = row;
        }
    }
    std::string sql;
    if (held && !wanted)
        sql = FormatSql("DELETE FROM Netware WHERE aAccountId = %ld", accountId);
    else if (!held && wanted)
        sql = FormatSql("INSERT INTO Netware VALUES(%ld,true,'%s','%s','%s',%s)", accountId,
                        SqlText::Quote(wanted->mailPath), SqlText::Quote(wanted->userName),
                        SqlText::Quote(wanted->domain), YesNo(wanted->leaveCopy));
    else if (held && wanted && !(*held == *wanted))
        sql = FormatSql(
            "UPDATE Netware SET MailPath = '%s', UserName = '%s', Domain = '%s',LeaveCopy=%s WHERE aAccountId = %ld",
            SqlText::Quote(wanted->mailPath), SqlText::Quote(wanted->userName), SqlText::Quote(wanted->domain),
            YesNo(wanted->leaveCopy), accountId);
    if (sql.empty()) return true;
    OdbcStatement statement(connection);
    return statement.ExecDirect(sql);
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
