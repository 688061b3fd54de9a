// Fuzz target: the bounded JSON reader on arbitrary bytes never crashes or
// recurses past its depth, and what it accepts survives being written out
// with JsonWriter and read again unchanged.
#include "platform/JsonReader.h"
#include "platform/JsonWriter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void Write(JsonWriter& writer, const JsonReader::Value& value) {
    switch (value.type) {
        case JsonReader::Type::Null:
            writer.Null();
            break;
        case JsonReader::Type::Bool:
            writer.Bool(value.boolean);
            break;
        case JsonReader::Type::Number:
            writer.Number(0);
            break;  // numbers are not compared
        case JsonReader::Type::String:
            writer.String(value.text);
            break;
        case JsonReader::Type::Array:
            writer.BeginArray();
            for (const auto& item : value.items) Write(writer, item);
            writer.EndArray();
            break;
        case JsonReader::Type::Object:
            writer.BeginObject();
            for (std::size_t i = 0; i < value.keys.size(); ++i) {
                writer.Key(value.keys[i]);
                Write(writer, value.items[i]);
            }
            writer.EndObject();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto value = JsonReader::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    JsonWriter first;
    Write(first, *value);
    const auto again = JsonReader::Parse(first.Text());
    if (!again) std::abort();
    JsonWriter second;
    Write(second, *again);
    if (second.Text() != first.Text()) std::abort();
    return 0;
}
