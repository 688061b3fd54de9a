// Fuzz target: a JSON string made of arbitrary bytes holds no raw control
// character, no quote that ends it early, and only well-formed UTF-8: quoting
// its own content again replaces nothing.
#include "platform/JsonWriter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string HighBytes(std::string_view text) {
    std::string high;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) high += c;
    return high;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string quoted = JsonWriter::Quote(std::string_view(reinterpret_cast<const char*>(data), size));
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') std::abort();
    const std::string_view inner = std::string_view(quoted).substr(1, quoted.size() - 2);
    std::size_t backslashes = 0;
    for (char c : inner) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) std::abort();
        if (c == '"' && backslashes % 2 == 0) std::abort();
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    if (backslashes % 2 != 0) std::abort();  // the closing quote escaped
    if (HighBytes(JsonWriter::Quote(inner)) != HighBytes(inner)) std::abort();
    return 0;
}
