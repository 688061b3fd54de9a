// Fuzz target: the bounded JSON reader on arbitrary bytes never crashes or
// recurses past its depth; a text it takes is taken again with white space
// after it, with the same value at its top, and refused with a stray byte.
#include "platform/JsonReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto value = JsonReader::Parse(text);
    if (!value) return 0;
    const auto spaced = JsonReader::Parse(text + " \r\n\t");
    if (!spaced || spaced->type != value->type || spaced->text != value->text || spaced->keys != value->keys ||
        spaced->items.size() != value->items.size())
        std::abort();
    if (JsonReader::Parse(text + "x")) std::abort();
    return 0;
}
