// The registry-shaped API over the settings file: result codes, size-first
// queries, and writes that never lose each other or a file they cannot read.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "TestHome.h"
#include "platform/Registry.h"
#include "platform/SettingsStore.h"

namespace {

HKEY Create(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    return key;
}

void SetDword(HKEY key, const char* name, DWORD v) {
    ASSERT_EQ(RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
}

}  // namespace

TEST(Registry, ResultCodesFollowTheRegistry) {
    TestHome home;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);

    HKEY w = Create("SOFTWARE\\Fenwarde\\Velmora\\Ports");
    SetDword(w, "SMTP Port", 2525);
    const char text[] = "relay.example";
    ASSERT_EQ(RegSetValueEx(w, "RemoteGateway Server", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 13),
              ERROR_SUCCESS);
    RegCloseKey(w);

    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\fenwarde\\velmora\\ports", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0, type = 0;
    ASSERT_EQ(RegQueryValueEx(key, "RemoteGateway Server", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(type, REG_SZ);
    char small[4];
    DWORD smallSize = sizeof small;
    EXPECT_EQ(
        RegQueryValueEx(key, "RemoteGateway Server", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &smallSize),
        ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, 13u);
    EXPECT_EQ(RegQueryValueEx(key, "Absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // Read rights do not write.
    EXPECT_EQ(RegSetValueEx(key, "SMTP Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 1), ERROR_ACCESS_DENIED);
    DWORD subKeys = 9, values = 0;
    ASSERT_EQ(RegQueryInfoKey(key, &subKeys, &values), ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 2u);

    char name[100];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 2, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kTcpipParametersKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    char host[256] = {};
    DWORD hostSize = sizeof host - 1;
    ASSERT_EQ(RegQueryValueEx(key, "HostName", nullptr, nullptr, reinterpret_cast<BYTE*>(host), &hostSize),
              ERROR_SUCCESS);
    char expected[256] = {};
    gethostname(expected, sizeof expected - 1);
    EXPECT_EQ(std::string(expected).substr(0, std::string(expected).find('.')), host);
    RegCloseKey(key);
}

TEST(Registry, MalformedFileIsReportedAndNeverRewritten) {
    TestHome home;
    const std::string path = home.File("settings.reg");
    const std::string bad = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Ports]\n\"SMTP Port\"=25\n";
    TestHome::WriteFile(path, bad);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fenwarde\\Velmora\\Ports", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fenwarde\\Velmora\\Log", KEY_ALL_ACCESS, &key),
              ERROR_BADDB);
    EXPECT_NE(SettingsStore::Instance().LastError().find(path + ": line 3"), std::string::npos)
        << SettingsStore::Instance().LastError();
    EXPECT_EQ(TestHome::ReadFile(path), bad);

    // Mended by hand, it is read again at the next call.
    TestHome::WriteFile(path,
                        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fenwarde\\Velmora\\Ports]\n"
                        "\"SMTP Port\"=dword:00000019 \n");
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fenwarde\\Velmora\\Ports", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD port = 0, size = 4;
    EXPECT_EQ(RegQueryValueEx(key, "SMTP Port", nullptr, nullptr, reinterpret_cast<BYTE*>(&port), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(port, 25u);
    RegCloseKey(key);
}

TEST(Registry, WritersInSeveralProcessesLoseNothing) {
    TestHome home;
    HKEY key = Create("SOFTWARE\\Fenwarde\\Velmora\\DNS");
    RegCloseKey(key);
    constexpr int kProcesses = 4, kWrites = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY k = nullptr;
            if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fenwarde\\Velmora\\DNS", 0, KEY_ALL_ACCESS, &k) != 0)
                _exit(1);
            for (int i = 0; i < kWrites; ++i) {
                std::string name = "#" + std::to_string(p * 100 + i);
                if (RegSetValueEx(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("127.0.0.1"), 9) != 0)
                    _exit(2);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fenwarde\\Velmora\\DNS", 0, KEY_READ, &key), 0);
    DWORD values = 0;
    RegQueryInfoKey(key, nullptr, &values);
    EXPECT_EQ(values, static_cast<DWORD>(kProcesses * kWrites));
    RegCloseKey(key);
}
