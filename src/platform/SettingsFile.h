// SettingsFile: the text file that stands in for the registry.
//
// The file is in the REGEDIT4 text form so an administrator can read and edit
// it by hand:
//     REGEDIT4
//     ; comment
//     [HKEY_LOCAL_MACHINE\SOFTWARE\Fenwarde\Velmora\Preferences]
//     "StoreMailLog"=dword:00000001
//     "Mail Directory"="/srv/velmora/mail"
// The parsed form keeps every line of the file, so a rewrite changes only the
// lines of the values that were set or deleted; comments, blank lines and keys
// this program does not know survive untouched. Key and value names compare
// without regard to case, as in the registry.
//
// A header line ends at "]" and every line at a line break, so a name that
// would cut its line or its header is refused, never written: a key path is
// components joined by "\", none empty, none holding "]" or a control
// character; a value name is quoted (with "\\" and "\"" escaped) and may
// hold anything but a control character. String data keeps every byte: quotes,
// backslashes, line breaks and NULs are escaped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class SettingsFile {
public:
    enum ValueType : std::uint32_t { kString = 1, kBinary = 3, kDword = 4 };

    struct Value {
        std::string name;
        std::uint32_t type = kString;
        std::string data;  // raw bytes; a dword is 4 little-endian bytes
    };

    // Parses text; on a malformed line returns false and sets the error
    // ("line N: why"). Nothing of a failed parse is kept.
    bool Parse(const std::string& text);
    const std::string& Error() const { return error; }
    int ErrorLine() const { return errorLine; }

    std::string Serialize() const;

    // Why a key path or a value name cannot be written and read back as it
    // is ("" when it can): what the registry API and every writer check.
    static std::string KeyPathProblem(const std::string& key);
    static std::string ValueNameProblem(const std::string& name);
    // Why a value cannot be written under a key, or "".
    static std::string ValueProblem(const std::string& key, const Value& value);

    // Key paths are below HKEY_LOCAL_MACHINE, e.g. "SOFTWARE\Fenwarde\Velmora\Ports".
    bool KeyExists(const std::string& key) const;
    // False, changing nothing, for a path KeyPathProblem refuses.
    bool CreateKey(const std::string& key);
    std::optional<Value> Get(const std::string& key, const std::string& name) const;
    // Values of one key in file order.
    std::vector<Value> Values(const std::string& key) const;
    // Names of the direct sub-keys of a key, in first-seen order.
    std::vector<std::string> SubKeys(const std::string& key) const;
    // False, changing nothing, for what ValueProblem refuses.
    bool Set(const std::string& key, const Value& value);
    bool Delete(const std::string& key, const std::string& name);

    static std::string FormatValueLine(const Value& value);

private:
    struct Line {
        std::string text;  // the line as written (without the newline)
        int section = -1;  // section the line belongs to (-1 before the first key)
        bool isHeader = false;
        bool isValue = false;
        Value value;  // when isValue
    };
    struct Section {
        std::string key;  // path below HKEY_LOCAL_MACHINE
    };

    int FindSection(const std::string& key) const;

    std::vector<Line> lines;
    std::vector<Section> sections;
    std::string error;
    int errorLine = 0;
};
