// CRegistryKey: typed access to one sub-key of the product key.
//
// One object per use: construct, OpenProductKey, OpenSubKey, value
// operations, CloseSubKey, CloseProductKey. Nothing is reported; each call
// leaves its result code in lastError, and a failed open tells the caller to
// keep its own defaults. A value missing from an existing key reads as 0 or
// as the empty string, not as the caller's default.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Registry.h"

class CRegistryKey {
public:
    CRegistryKey(std::string company, std::string product, HKEY root);
    ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    bool OpenProductKey();
    bool OpenSubKey(std::string name);
    bool CloseSubKey();
    LONG CloseProductKey();
    std::string GetString(std::string name);
    DWORD GetDWord(std::string name);
    void SetString(std::string name, std::string text);
    void SetDWord(std::string name, DWORD number);
    // Every value with a non-empty name, name to data text.
    std::unique_ptr<std::map<std::string, std::string>> EnumValues();
    bool DeleteDnsValue(std::string name);

    LONG LastError() const { return lastError; }
    const std::string& Path() const { return path; }

private:
    HKEY root;
    std::string path;
    HKEY subKey = nullptr;
    HKEY productKey = nullptr;
    LONG lastError = 0;
    std::string company;
    std::string product;
    std::string valueName;
    DWORD dwordBuffer = 0;
    DWORD dataLength = 0;
    const char* stringBuffer = nullptr;
};

// True when code is 0; otherwise shows "Access Denied in Reading Registry Key"
// (code 5) or "Error in Reading Registry Key" and returns false.
bool CheckRegistryResult(LONG code);
