// Fuzzes the settings-file parser: any text either parses or names a line,
// and whatever parses survives a rewrite unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SettingsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SettingsFile file;
    if (!file.Parse(text)) {
        if (file.ErrorLine() <= 0) std::abort();
        return 0;
    }
    const std::string once = file.Serialize();
    SettingsFile again;
    if (!again.Parse(once) || again.Serialize() != once) std::abort();
    file.Set("SOFTWARE\\Fenwarde\\Velmora\\Ports", {"SMTP Port", SettingsFile::kDword, std::string(4, '\x19')});
    SettingsFile third;
    if (!third.Parse(file.Serialize())) std::abort();
    return 0;
}
