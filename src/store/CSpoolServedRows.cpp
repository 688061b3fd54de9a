// CSpoolServedRows: the SpoolServed statements.
#include "store/CSpoolServedRows.h"

#include <atomic>
#include <cstdlib>
#include <vector>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcStatement.h"
#include "foundation/SqlFormat.h"
#include "foundation/StringFormat.h"
#include "store/CGroupCommit.h"

namespace {
// Until a sweep finds the table missing.
std::atomic<bool> g_recording{true};

// The rows of released spool files go in one statement per batch (see
// CGroupCommit::DeferListed).
constexpr const char* kForgetHead = "DELETE FROM SpoolServed WHERE SpoolFile IN ";

std::string Listed(const std::string& file) {
    return FormatSql("'%s'", SqlText::Quote(file));
}

std::string ForgetStatement(const std::string& file) {
    return kForgetHead + ("(" + Listed(file) + ")");
}
}  // namespace

std::string CSpoolServedRows::Stamp(long long size, const timespec& modified) {
    return StringPrintf("%lld:%lld.%09ld", size, static_cast<long long>(modified.tv_sec),
                        static_cast<long>(modified.tv_nsec));
}

std::string CSpoolServedRows::Statement(const Mark& mark) {
    return FormatSql("INSERT INTO SpoolServed VALUES('%s','%s',%ld)", SqlText::Quote(mark.file),
                     SqlText::Quote(mark.stamp), mark.recipient);
}

std::optional<std::set<long>> CSpoolServedRows::Served(SQLHDBC connection, const std::string& file,
                                                       const std::string& stamp) {
    OdbcStatement statement(connection);
    if (!statement.ExecDirect(FormatSql("SELECT Recipient FROM SpoolServed WHERE SpoolFile = '%s' AND Stamp = '%s'",
                                        SqlText::Quote(file), SqlText::Quote(stamp))))
        return std::nullopt;
    std::set<long> served;
    std::string value;
    while (statement.Fetch())
        if (statement.GetText(1, value)) served.insert(std::strtol(value.c_str(), nullptr, 10));
    return served;
}

void CSpoolServedRows::Forget(const std::string& file) {
    if (!g_recording.load()) return;
    CGroupCommit::Instance().DeferListed(kForgetHead, Listed(file));
}

bool CSpoolServedRows::Sweep(SQLHDBC connection, const std::set<std::string>& present) {
    std::vector<std::string> gone;
    {
        OdbcStatement statement(connection);
        if (!statement.ExecDirect("SELECT DISTINCT SpoolFile FROM SpoolServed")) {
            if (g_recording.exchange(false))
                g_moduleLog.Write("*** The SpoolServed table cannot be read (run velmora setup): a message stored "
                                  "before a crash may be delivered twice");
            return false;
        }
        std::string file;
        while (statement.Fetch())
            if (statement.GetText(1, file) && present.count(file) == 0) gone.push_back(file);
    }
    g_recording.store(true);
    for (const std::string& file : gone) OdbcStatement(connection).ExecDirect(ForgetStatement(file));
    return true;
}

bool CSpoolServedRows::Recording() {
    return g_recording.load();
}
