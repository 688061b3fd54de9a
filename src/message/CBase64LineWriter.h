// CBase64LineWriter: a message body in base64 as it streams past, in lines
// of 76 characters ended by CR LF (RFC 2045), handed to a sink block by
// block. Holds at most one line's worth of bytes between writes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "message/CBase64Encoder.h"

class CBase64LineWriter {
public:
    // The bytes one 76-character line encodes.
    static constexpr std::size_t kLineBytes = 57;
    using Sink = std::function<bool(const char*, std::size_t)>;

    explicit CBase64LineWriter(Sink sink);

    // False when the sink refused a block or the encoding failed.
    bool Write(std::string_view bytes);
    // Writes the last, shorter line; call once after the last Write.
    bool Finish();

private:
    bool Emit(std::string_view bytes);

    Sink sink;
    std::string pending;
    CBase64Encoder encoder;
};
