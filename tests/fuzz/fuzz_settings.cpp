// Fuzzes the settings file: any text either parses or names a line, and
// whatever parses survives a rewrite unchanged. An input holding two NULs is
// also a change, "key\0name\0string data": the writer refuses it, leaving the
// file as it was, or the file reads back that value exactly and the other
// value as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SettingsFile.h"
#include "platform/Text.h"

namespace {

constexpr const char* kPorts = "SOFTWARE\\Fenwarde\\Velmora\\Ports";

void WriteAndReadBack(const std::string& input) {
    const std::size_t first = input.find('\0'), second = input.find('\0', first + 1);
    if (second == std::string::npos) return;
    const std::string key = input.substr(0, first);
    const SettingsFile::Value value{input.substr(first + 1, second - first - 1), SettingsFile::kString,
                                    input.substr(second + 1)};
    SettingsFile file, read;
    if (!file.Parse(std::string("[HKEY_LOCAL_MACHINE\\") + kPorts + "]\n\"SMTP Port\"=dword:00000019\n")) std::abort();
    const std::string before = file.Serialize();
    const bool stored = file.Set(key, value);
    if (stored != SettingsFile::ValueProblem(key, value).empty() || (!stored && file.Serialize() != before))
        std::abort();
    if (!stored) return;
    if (!read.Parse(file.Serialize())) std::abort();
    const auto back = read.Get(key, value.name);
    const auto port = read.Get(kPorts, "SMTP Port");
    const bool inPorts = FoldCase(key) == FoldCase(kPorts);
    const bool samePort = inPorts && FoldCase(value.name) == "smtp port";
    if (!back || back->data != value.data || !port || (!samePort && port->data != std::string("\x19\0\0\0", 4)) ||
        read.Values(kPorts).size() != (inPorts && !samePort ? 2u : 1u) || (!inPorts && read.Values(key).size() != 1))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    WriteAndReadBack(text);
    SettingsFile file;
    if (!file.Parse(text)) {
        if (file.ErrorLine() <= 0) std::abort();
        return 0;
    }
    const std::string once = file.Serialize();
    SettingsFile again;
    if (!again.Parse(once) || again.Serialize() != once) std::abort();
    if (!file.Set(kPorts, {"SMTP Port", SettingsFile::kDword, std::string(4, '\x19')})) std::abort();
    SettingsFile third;
    if (!third.Parse(file.Serialize())) std::abort();
    return 0;
}
