// OdbcConnectionInfo: the handle registry and the idle statement cache.
#include "foundation/OdbcConnectionInfo.h"

#include <algorithm>
#include <shared_mutex>

namespace {

std::shared_mutex g_registryLock;
// A handful of connections per process: a short vector beats a map.
std::vector<std::shared_ptr<OdbcConnectionInfo>> g_registry;

void FreeStatement(SQLHSTMT statement) {
    if (statement != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

}  // namespace

OdbcConnectionInfo::~OdbcConnectionInfo() {
    Close();
}

void OdbcConnectionInfo::Register(const std::shared_ptr<OdbcConnectionInfo>& info) {
    std::unique_lock<std::shared_mutex> guard(g_registryLock);
    std::erase_if(g_registry, [&](const auto& held) { return held->Handle() == info->Handle(); });
    g_registry.push_back(info);
}

void OdbcConnectionInfo::Unregister(SQLHDBC handle) {
    std::unique_lock<std::shared_mutex> guard(g_registryLock);
    std::erase_if(g_registry, [&](const auto& held) { return held->Handle() == handle; });
}

std::shared_ptr<OdbcConnectionInfo> OdbcConnectionInfo::Find(SQLHDBC handle) {
    if (handle == SQL_NULL_HDBC) return nullptr;
    std::shared_lock<std::shared_mutex> guard(g_registryLock);
    for (const auto& info : g_registry)
        if (info->Handle() == handle) return info;
    return nullptr;
}

SQLHSTMT OdbcConnectionInfo::Lease(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (closed) return SQL_NULL_HSTMT;
        auto found = idle.find(text);
        if (found != idle.end() && !found->second.empty()) {
            SQLHSTMT statement = found->second.back();
            found->second.pop_back();
            if (found->second.empty()) idle.erase(found);
            --idleCount;
            return statement;
        }
    }
    // Prepared outside the lock: never hold it while inside the driver manager.
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!OdbcSucceeded(SQLAllocHandle(SQL_HANDLE_STMT, handle, &statement))) return SQL_NULL_HSTMT;
    const std::string translated = dialect.Translate(text);
    if (!OdbcSucceeded(SQLPrepare(statement, (SQLCHAR*)translated.c_str(), SQL_NTS))) {
        FreeStatement(statement);
        return SQL_NULL_HSTMT;
    }
    return statement;
}

void OdbcConnectionInfo::Return(const std::string& text, SQLHSTMT statement) {
    if (statement == SQL_NULL_HSTMT) return;
    const bool reset = OdbcSucceeded(SQLFreeStmt(statement, SQL_CLOSE)) &&
                       OdbcSucceeded(SQLFreeStmt(statement, SQL_UNBIND)) &&
                       OdbcSucceeded(SQLFreeStmt(statement, SQL_RESET_PARAMS));
    {
        std::lock_guard<std::mutex> guard(lock);
        if (reset && !closed && idleCount < kMaxIdle) {
            idle[text].push_back(statement);
            ++idleCount;
            return;
        }
    }
    FreeStatement(statement);
}

void OdbcConnectionInfo::Close() {
    std::unordered_map<std::string, std::vector<SQLHSTMT>> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
        taken.swap(idle);
        idleCount = 0;
    }
    for (auto& [text, statements] : taken)
        for (SQLHSTMT statement : statements) FreeStatement(statement);
}
