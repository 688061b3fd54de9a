// CServerModuleList: loading and unloading the server modules.
#include "app/CServerModuleList.h"

#include <cstring>

#include "app/CServerModule.h"
#include "foundation/CModuleLog.h"
#include "foundation/CRegistryKey.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

// Closes a key handle when the scope ends.
class KeyGuard {
public:
    KeyGuard() = default;
    ~KeyGuard() {
        if (key) RegCloseKey(key);
    }
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;
    HKEY* Out() { return &key; }
    HKEY Get() const { return key; }

private:
    HKEY key = nullptr;
};

LONG QueryText(HKEY key, const char* name, std::string& value, std::size_t capacity) {
    std::string buffer(capacity, '\0');
    DWORD size = static_cast<DWORD>(capacity - 1);
    LONG rc = RegQueryValueEx(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (rc == ERROR_SUCCESS) value.assign(buffer.c_str(), ::strnlen(buffer.c_str(), size));
    return rc;
}

}  // namespace

CServerModuleList::~CServerModuleList() {
    UnloadServers();
}

int CServerModuleList::LoadServers(MessageWindow* sinkWindow, CAccountDatabase* database, CMailSpooler* spooler) {
    serverSink = sinkWindow;
    KeyGuard servers;
    LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, settings::kServersKeyPath, 0, KEY_READ, servers.Out());
    if (!CheckRegistryResult(rc)) return 0;
    DWORD count = 0;
    rc = RegQueryInfoKey(servers.Get(), &count, nullptr);
    if (!CheckRegistryResult(rc)) return 0;
    g_moduleLog.Write("Loading servers...");

    for (DWORD i = 1; i <= count; ++i) {
        const std::string keyName = StringPrintf("#%u", i);
        g_moduleLog.Write("Opening key.." + keyName);
        KeyGuard entryKey;
        rc = RegOpenKeyEx(servers.Get(), keyName.c_str(), 0, KEY_READ, entryKey.Out());
        if (!CheckRegistryResult(rc)) {
            UnloadServers();
            return 0;
        }
        DWORD active = 0;
        DWORD size = sizeof active;
        rc = RegQueryValueEx(entryKey.Get(), settings::kServerActive, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&active), &size);
        if (!CheckRegistryResult(rc)) {
            UnloadServers();
            return 0;
        }
        if (active == 0) continue;

        std::string location;
        rc = QueryText(entryKey.Get(), settings::kServerLocation, location, 128);
        g_moduleLog.Write("Loading dll " + location);
        if (!CheckRegistryResult(rc)) {
            g_moduleLog.Write("Read dll location failed");
            UnloadServers();
            return 0;
        }
        Entry entry;
        rc = QueryText(entryKey.Get(), settings::kServerName, entry.name, 32);
        if (!CheckRegistryResult(rc)) {
            g_moduleLog.Write("read name failed");
            UnloadServers();
            return 0;
        }

        SharedLibrary library;
        if (!library.Load(location)) {
            g_moduleLog.Write("LoadLibrary Failed");
            g_moduleLog.Write("  " + library.Error());
            continue;
        }
        g_moduleLog.Write("Load Library succeeded");
        auto init = reinterpret_cast<InitServerFunction>(library.Symbol("InitServer"));
        if (!init) {
            g_moduleLog.Write("GetProcAddress(InitServer) failed");
            continue;  // the library is freed as it goes out of scope
        }
        g_moduleLog.Write("GetProcAddress succeeded");
        libraries.push_back(std::move(library));
        entry.module.reset(init());
        if (!entry.module) continue;  // nothing to talk to; its library stays until unload
        entry.module->SetNotifyWindow(serverSink);
        entry.module->SetDatabase(database);
        CServerModule* module = entry.module.get();
        modules.push_back(std::move(entry));

        if (StartsWithNoCase(location, kVoiceServerFile)) voiceServer = module;
        g_moduleLog.Write(StringPrintf("Comparing %s and %s", location.c_str(), kSmtpServerFile));
        if (StartsWithNoCase(location, kSmtpServerFile)) {
            g_moduleLog.Write("Setting mail spooler");
            module->SetMailSpooler(spooler);
        } else {
            g_moduleLog.Write(StringPrintf("Comparison failed: %s is not %s, so it gets no mail spooler",
                                           location.c_str(), kSmtpServerFile));
        }
    }
    return 1;
}

void CServerModuleList::UnloadServers() {
    // Module objects first: their code lives in the libraries.
    modules.clear();
    voiceServer = nullptr;
    libraries.clear();
}
