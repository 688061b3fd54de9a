// OdbcConnectionInfo: the handle registry and the idle statement cache.
#include "foundation/OdbcConnectionInfo.h"

#include <algorithm>

#include "platform/ReaderLock.h"
#include "platform/WriterLock.h"

namespace {

SharedMutex g_registryLock;  // the registry below
// A handful of connections per process: a short vector beats a map.
std::vector<std::shared_ptr<OdbcConnectionInfo>> g_registry GUARDED_BY(g_registryLock);

void FreeStatement(SQLHSTMT statement) {
    if (statement != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

}  // namespace

OdbcConnectionInfo::~OdbcConnectionInfo() {
    Close();
}

void OdbcConnectionInfo::Register(const std::shared_ptr<OdbcConnectionInfo>& info) {
    WriterLock guard(g_registryLock);
    std::erase_if(g_registry, [&](const auto& held) { return held->Handle() == info->Handle(); });
    g_registry.push_back(info);
}

void OdbcConnectionInfo::Unregister(SQLHDBC handle) {
    WriterLock guard(g_registryLock);
    std::erase_if(g_registry, [&](const auto& held) { return held->Handle() == handle; });
}

std::shared_ptr<OdbcConnectionInfo> OdbcConnectionInfo::Find(SQLHDBC handle) {
    if (handle == SQL_NULL_HDBC) return nullptr;
    ReaderLock guard(g_registryLock);
    for (const auto& info : g_registry)
        if (info->Handle() == handle) return info;
    return nullptr;
}

SQLHSTMT OdbcConnectionInfo::Lease(const std::string& text) {
    {
        MutexLock guard(lock);
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
        MutexLock guard(lock);
        if (reset && !closed && idleCount < kMaxIdle) {
            idle[text].push_back(statement);
            ++idleCount;
            return;
        }
    }
    FreeStatement(statement);
}

void OdbcConnectionInfo::Close() {
    {
        MutexLock guard(useLock);
        reconnect = nullptr;
    }
    FreeIdle(true);
}

void OdbcConnectionInfo::FreeIdle(bool close) {
    std::unordered_map<std::string, std::vector<SQLHSTMT>> taken;
    {
        MutexLock guard(lock);
        if (close) closed = true;
        taken.swap(idle);
        idleCount = 0;
    }
    for (auto& [text, statements] : taken)
        for (SQLHSTMT statement : statements) FreeStatement(statement);
}

OdbcConnectionInfo::Use::Use(std::shared_ptr<OdbcConnectionInfo> held) : info(std::move(held)) {
    if (info) info->Enter();
}

OdbcConnectionInfo::Use::~Use() {
    if (info) info->Leave();
}

void OdbcConnectionInfo::SetReconnect(std::function<bool()> function) {
    MutexLock guard(useLock);
    reconnect = std::move(function);
}

void OdbcConnectionInfo::Enter() {
    MutexLock guard(useLock);
    while (reconnecting) useChanged.wait(guard);
    // Only with nobody inside: a reconnection frees every statement of the
    // handle, and an open transaction would lose its uncommitted work unseen.
    if (lost.load() && users == 0 && reconnect && std::chrono::steady_clock::now() >= nextAttempt) {
        reconnecting = true;
        const std::function<bool()> again = reconnect;
        guard.unlock();
        FreeIdle(false);
        const bool back = again();
        guard.lock();
        reconnecting = false;
        if (back)
            lost.store(false);
        else
            nextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        useChanged.notify_all();
    }
    ++users;
}

void OdbcConnectionInfo::Leave() {
    MutexLock guard(useLock);
    --users;
}

void OdbcConnectionInfo::NoteFailure(SQLHSTMT statement) {
    if (lost.load()) return;
    SQLUINTEGER dead = SQL_CD_FALSE;
    bool isDead = OdbcSucceeded(SQLGetConnectAttr(handle, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr)) &&
                  dead == SQL_CD_TRUE;
    // Class 08 is a connection exception, whatever the driver says of the link.
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!isDead && statement != SQL_NULL_HSTMT &&
        OdbcSucceeded(SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &native, nullptr, 0, &length)))
        isDead = state[0] == '0' && state[1] == '8';
    if (isDead) lost.store(true);
}

bool OdbcConnectionInfo::IsLost(SQLHDBC handle) {
    const auto info = Find(handle);
    return info && info->Lost();
}
