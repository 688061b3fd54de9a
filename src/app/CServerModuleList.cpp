// CServerModuleList: loading and unloading the server modules.
#include "app/CServerModuleList.h"

#include <cstring>

#include "app/CServerModule.h"
#include "foundation/CModuleLog.h"
#include "foundation/CheckRegistryResult.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/RegistryValues.h"
#include "platform/Text.h"

namespace {

// A text value of one server's key, cut at its first NUL; longer than
// capacity - 1 bytes is an error.
LONG QueryText(const std::string& keyPath, const char* name, std::string& value, std::size_t capacity) {
    registry::StoredValue stored;
    const LONG rc = registry::ReadStored(keyPath, name, stored, capacity - 1);
    if (rc == ERROR_SUCCESS) value.assign(stored.data.c_str(), ::strnlen(stored.data.c_str(), stored.data.size()));
    return rc;
}

}  // namespace

CServerModuleList::~CServerModuleList() {
    UnloadServers();
}

int CServerModuleList::LoadServers(MessageWindow* sinkWindow, CAccountDatabase* database, CMailSpooler* spooler) {
    serverSink = sinkWindow;
    DWORD count = 0;
    DWORD values = 0;
    LONG rc = registry::CountEntries(settings::kServersKeyPath, count, values);
    if (!CheckRegistryResult(rc)) return 0;
    g_moduleLog.Write("Loading servers...");

    for (DWORD i = 1; i <= count; ++i) {
        const std::string keyName = StringPrintf("#%u", i);
        g_moduleLog.Write("Opening key.." + keyName);
        const std::string entryPath = std::string(settings::kServersKeyPath) + "\\" + keyName;
        rc = registry::ProbeKey(entryPath);
        if (!CheckRegistryResult(rc)) {
            UnloadServers();
            return 0;
        }
        DWORD active = 0;
        registry::StoredValue stored;
        rc = registry::ReadStored(entryPath, settings::kServerActive, stored, sizeof active);
        if (rc == ERROR_SUCCESS) std::memcpy(&active, stored.data.data(), stored.data.size());
        if (!CheckRegistryResult(rc)) {
            UnloadServers();
            return 0;
        }
        if (active == 0) continue;

        std::string location;
        rc = QueryText(entryPath, settings::kServerLocation, location, 128);
        g_moduleLog.Write("Loading dll " + location);
        if (!CheckRegistryResult(rc)) {
            g_moduleLog.Write("Read dll location failed");
            UnloadServers();
            return 0;
        }
        Entry entry;
        rc = QueryText(entryPath, settings::kServerName, entry.name, 32);
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
