// Home: resolution of the installation directory and the process-wide
// settings that follow from it.
#include "platform/Home.h"

#include <cstdlib>
#include <unistd.h>

#include "platform/MutexLock.h"
#include "platform/SettingsStore.h"

namespace {
Mutex g_mutex;  // the home directory
std::string g_home GUARDED_BY(g_mutex);

std::string Absolute(const std::string& dir) {
    if (dir.empty() || dir[0] == '/') return dir;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return dir;
    std::string base = cwd;
    std::string rest = dir;
    while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
    if (rest == ".") return base;
    return base + "/" + rest;
}
}  // namespace

std::string Home::Resolve(const std::string& flag) {
    std::string dir = flag;
    if (dir.empty()) {
        const char* env = std::getenv("VELMORA_HOME");
        if (env && *env) dir = env;
    }
    if (dir.empty()) {
        const char* home = std::getenv("HOME");
        dir = std::string(home && *home ? home : "/root") + "/.velmora";
    }
    dir = Absolute(dir);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

void Home::Use(const std::string& dir) {
    {
        MutexLock guard(g_mutex);
        g_home = dir;
    }
    SettingsStore::Instance().SetPath(dir + "/" + kSettingsFile);
    // The driver manager reads these at its first call; an explicit choice
    // of the user's wins.
    ::setenv("ODBCSYSINI", dir.c_str(), 0);
    ::setenv("ODBCINI", (dir + "/" + kOdbcIni).c_str(), 0);
}

std::string Home::Dir() {
    MutexLock guard(g_mutex);
    return g_home;
}

std::string Home::PathOf(const std::string& name) {
    return Dir() + "/" + name;
}
