// CRegistryKey: the product key's typed value access.
#include "foundation/CRegistryKey.h"

#include <cstring>
#include <vector>

#include "foundation/SettingsCatalogue.h"
#include "platform/UserInterface.h"

CRegistryKey::CRegistryKey(std::string companyName, std::string productName, HKEY rootKey)
    : root(rootKey), company(std::move(companyName)), product(std::move(productName)) {
    path = "SOFTWARE";
    if (!company.empty()) path += "\\" + company;
    if (!product.empty()) path += "\\" + product;
}

CRegistryKey::~CRegistryKey() {
    // Handles are the registry's; give back any the caller left open.
    if (subKey) RegCloseKey(subKey);
    if (productKey) RegCloseKey(productKey);
}

bool CRegistryKey::OpenProductKey() {
    if (productKey) RegCloseKey(productKey);
    productKey = nullptr;
    lastError = RegOpenKeyEx(root, path.c_str(), 0, KEY_ALL_ACCESS, &productKey);
    return lastError == ERROR_SUCCESS;
}

bool CRegistryKey::OpenSubKey(std::string name) {
    if (subKey) RegCloseKey(subKey);
    subKey = nullptr;
    lastError = RegOpenKeyEx(productKey, name.c_str(), 0, KEY_ALL_ACCESS, &subKey);
    return lastError == ERROR_SUCCESS;
}

bool CRegistryKey::CloseSubKey() {
    lastError = RegCloseKey(subKey);
    subKey = nullptr;
    return lastError == ERROR_SUCCESS;
}

LONG CRegistryKey::CloseProductKey() {
    lastError = RegCloseKey(productKey);
    productKey = nullptr;
    return lastError;
}

std::string CRegistryKey::GetString(std::string name) {
    DWORD size = 0;
    lastError = RegQueryValueEx(subKey, name.c_str(), nullptr, nullptr, nullptr, &size);
    if (lastError != ERROR_SUCCESS) return "";
    std::vector<BYTE> buffer(size + 1, 0);  // one more: values are stored unterminated
    lastError = RegQueryValueEx(subKey, name.c_str(), nullptr, nullptr, buffer.data(), &size);
    if (lastError != ERROR_SUCCESS || size == 0) return "";
    const char* text = reinterpret_cast<const char*>(buffer.data());
    return std::string(text, ::strnlen(text, size));
}

DWORD CRegistryKey::GetDWord(std::string name) {
    DWORD value = 0;
    DWORD size = 4;
    lastError = RegQueryValueEx(subKey, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    if (lastError > 0) return 0;
    return value;
}

void CRegistryKey::SetString(std::string name, std::string text) {
    valueName = name;
    stringBuffer = text.c_str();
    dataLength = static_cast<DWORD>(text.size());
    lastError =
        RegSetValueEx(subKey, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(stringBuffer), dataLength);
    stringBuffer = nullptr;
    if (lastError == ERROR_SUCCESS) lastError = RegFlushKey(subKey);
}

void CRegistryKey::SetDWord(std::string name, DWORD number) {
    valueName = name;
    dwordBuffer = number;
    dataLength = 4;
    lastError =
        RegSetValueEx(subKey, valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwordBuffer), dataLength);
}

std::unique_ptr<std::map<std::string, std::string>> CRegistryKey::EnumValues() {
    auto values = std::make_unique<std::map<std::string, std::string>>();
    for (DWORD index = 0;; ++index) {
        char name[100] = {};
        BYTE data[400] = {};
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data - 1;  // keep a terminator for the text
        lastError = RegEnumValue(subKey, index, name, &nameSize, nullptr, nullptr, data, &dataSize);
        if (lastError == ERROR_NO_MORE_ITEMS) break;
        if (lastError != ERROR_SUCCESS) {
            // A malformed file or a dead handle would answer the same at every index.
            if (lastError != ERROR_MORE_DATA) break;
            continue;
        }
        if (name[0] == '\0') continue;
        const char* text = reinterpret_cast<const char*>(data);
        (*values)[name] = std::string(text, ::strnlen(text, dataSize));
    }
    return values;
}

bool CRegistryKey::DeleteDnsValue(std::string name) {
    HKEY dns = nullptr;
    lastError = RegOpenKeyEx(HKEY_LOCAL_MACHINE, settings::kDnsKeyPath, 0, KEY_ALL_ACCESS, &dns);
    if (lastError != ERROR_SUCCESS) return false;
    lastError = RegDeleteValue(dns, name.c_str());
    RegCloseKey(dns);
    return lastError == ERROR_SUCCESS;
}

bool CheckRegistryResult(LONG code) {
    if (code == ERROR_SUCCESS) return true;
    UserInterface::Current().MessageBox(
        code == ERROR_ACCESS_DENIED ? "Access Denied in Reading Registry Key" : "Error in Reading Registry Key",
        settings::kMessageBoxTitle);
    return false;
}
