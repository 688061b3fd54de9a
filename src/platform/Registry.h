// Registry: the registry-shaped API over the settings file.
//
// The engine was designed around the Windows registry: open a key, query a
// value (size first, then data), set, enumerate, delete, close, each call
// answering with a Windows result code. Keeping that shape lets the settings
// readers stay exactly as designed; underneath, every key lives in the
// home's settings file (SettingsStore). The host-name key of the TCP/IP
// service answers from the system instead of the file.
#pragma once

#include <cstdint>
#include <string>

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using REGSAM = std::uint32_t;
using BYTE = unsigned char;

struct RegKey;
using HKEY = RegKey*;

extern HKEY const HKEY_LOCAL_MACHINE;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_BADDB = 1009;      // the settings file is malformed
constexpr LONG ERROR_WRITE_FAULT = 29;  // the settings file could not be written

constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// The key whose HostName and Domain values come from the running system.
constexpr const char* kTcpipParametersKey = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";

LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
// Opens the key, creating it (and its parents) when missing. A key path or
// value name the settings file cannot hold (SettingsFile::KeyPathProblem,
// ValueProblem) is ERROR_INVALID_PARAMETER here and in RegSetValueEx.
LONG RegCreateKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result);
LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);
// The whole of one value of key\subKey in one look at the settings (an open,
// a size query and a read take three): ERROR_FILE_NOT_FOUND when the key or
// the value is missing, *keyFound telling which.
LONG RegReadValue(HKEY key, const char* subKey, const char* valueName, DWORD* type, std::string* data,
                  bool* keyFound);
LONG RegSetValueEx(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
// nameSize and dataSize are in/out: buffer sizes in, lengths out (name without terminator).
LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, DWORD* type, BYTE* data,
                  DWORD* dataSize);
LONG RegEnumKey(HKEY key, DWORD index, char* name, DWORD nameSize);
LONG RegQueryInfoKey(HKEY key, DWORD* subKeyCount, DWORD* valueCount);
LONG RegDeleteValue(HKEY key, const char* valueName);
LONG RegFlushKey(HKEY key);
LONG RegCloseKey(HKEY key);

// The machine's host name without domain, and its domain (may be empty).
std::string SystemHostName();
std::string SystemDomainName();
// The machine's fully qualified name ("host.domain", lower case, no trailing
// dot), or "" when the system knows no domain for it: the name this server
// gives itself in EHLO, certificates and Message-IDs must be a real domain.
std::string SystemFullName();
// A name that may stand as a domain in EHLO: dot-separated labels of letters,
// digits and inner hyphens, at most 253 bytes, at least two labels.
bool IsFullDomainName(const std::string& name);
