// SettingValue: the one way a setting is read or written.
//
// A handle names a catalogue entry by key and value name; the name is looked
// up when the code is compiled, so a misspelt name or a handle of the wrong
// type (Dword for a string entry) does not build. The reads apply the entry's
// default and range, so no reader restates them:
//     settings::Dword{settings::kPorts, "SMTP Port"}.Value()
// Every registry call is the platform's (platform/RegistryValues); a value
// stored with another type than the catalogue's reads as not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/SettingsCatalogue.h"

namespace settings {

// Not constexpr: reached only when a handle names no catalogue entry of its
// type, which makes the handle's construction fail to compile.
void NoSuchSettingInCatalogue();

// The longest string a reader takes unless it says otherwise.
constexpr std::size_t kMaxTextBytes = 4096;

// The reads and writes behind the handles, on one catalogue entry.
std::string KeyPath(const Setting& entry);
bool KeyOpens(const Setting& entry);
// missingValue, when given, tells a value missing from a key that exists.
std::optional<std::uint32_t> StoredDword(const Setting& entry, bool* missingValue = nullptr);
std::optional<std::string> StoredText(const Setting& entry, std::size_t maxBytes);
bool WriteDword(const Setting& entry, std::uint32_t value, bool createKey);
bool WriteText(const Setting& entry, const std::string& text, bool createKey);

template <Type kind>
class SettingValue {
public:
    consteval SettingValue(const char* key, const char* name) : entry(&Lookup(key, name)) {}

    constexpr const Setting& Entry() const { return *entry; }
    // The full key path below HKEY_LOCAL_MACHINE.
    std::string KeyPath() const { return settings::KeyPath(*entry); }
    // Whether the entry's key can be opened.
    bool KeyOpens() const { return settings::KeyOpens(*entry); }

    // --- dword entries
    constexpr std::uint32_t Default() const requires(kind == Type::Dword) { return entry->dwordDefault; }
    constexpr std::uint32_t Minimum() const requires(kind == Type::Dword) { return entry->minimum; }
    constexpr std::uint32_t Maximum() const requires(kind == Type::Dword) { return entry->maximum; }
    constexpr bool InRange(std::uint32_t value) const requires(kind == Type::Dword) {
        return value >= entry->minimum && value <= entry->maximum;
    }
    // The stored value, whatever its range; nullopt when none can be read.
    std::optional<std::uint32_t> Stored() const requires(kind == Type::Dword) { return StoredDword(*entry); }
    // The stored value when it is within the range, else the default.
    std::uint32_t Value() const requires(kind == Type::Dword) {
        const std::optional<std::uint32_t> stored = Stored();
        return stored && InRange(*stored) ? *stored : Default();
    }
    // Unreadable or below the minimum: the default; above the maximum: the
    // maximum (a generous setting stays generous, within bounds).
    std::uint32_t Clamped() const requires(kind == Type::Dword) {
        const std::optional<std::uint32_t> stored = Stored();
        if (!stored || *stored < Minimum()) return Default();
        return *stored > Maximum() ? Maximum() : *stored;
    }
    // The stored value, whatever its range; a value missing from a key that
    // exists reads 0, anything else unreadable the default: the rule of the
    // readers that take a whole key's values at once.
    std::uint32_t ValueOrZero() const requires(kind == Type::Dword) {
        bool missing = false;
        const std::optional<std::uint32_t> stored = StoredDword(*entry, &missing);
        if (missing) return 0;
        return stored ? *stored : Default();
    }
    // Writes the value into the existing key (createKey: making it).
    bool Write(std::uint32_t value, bool createKey = false) const requires(kind == Type::Dword) {
        return WriteDword(*entry, value, createKey);
    }

    // --- string entries
    std::string Default() const requires(kind == Type::String) { return entry->stringDefault; }
    // The stored text of at most maxBytes; nullopt when none can be read.
    std::optional<std::string> Stored(std::size_t maxBytes = kMaxTextBytes) const requires(kind == Type::String) {
        return StoredText(*entry, maxBytes);
    }
    // The stored text, else the default.
    std::string Value(std::size_t maxBytes = kMaxTextBytes) const requires(kind == Type::String) {
        std::optional<std::string> stored = Stored(maxBytes);
        return stored ? std::move(*stored) : Default();
    }
    bool Write(const std::string& text, bool createKey = false) const requires(kind == Type::String) {
        return WriteText(*entry, text, createKey);
    }

private:
    static consteval const Setting& Lookup(const char* key, const char* name) {
        for (const Setting& s : kCatalogue)
            if (std::string_view(s.key) == key && std::string_view(s.name) == name && s.type == kind) return s;
        NoSuchSettingInCatalogue();
        return kCatalogue[0];
    }

    const Setting* entry;
};

using Dword = SettingValue<Type::Dword>;
using Text = SettingValue<Type::String>;

}  // namespace settings
