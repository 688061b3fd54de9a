// CBase64LineWriter. Whole lines are encoded a block at a
// time, so the encoder runs once per block and not once per line.
#include "message/CBase64LineWriter.h"

#include <utility>

CBase64LineWriter::CBase64LineWriter(Sink sink) : sink(std::move(sink)) {}

bool CBase64LineWriter::Write(std::string_view bytes) {
    pending.append(bytes);
    const std::size_t whole = pending.size() / kLineBytes * kLineBytes;
    if (whole == 0) return true;
    const bool written = Emit(std::string_view(pending).substr(0, whole));
    pending.erase(0, whole);
    return written;
}

bool CBase64LineWriter::Finish() {
    const bool written = pending.empty() || Emit(pending);
    pending.clear();
    return written;
}

bool CBase64LineWriter::Emit(std::string_view bytes) {
    const std::string encoded = encoder.Encode(bytes);
    if (encoded.empty()) return false;
    constexpr std::size_t kLineChars = kLineBytes / 3 * 4;
    std::string lines;
    lines.reserve(encoded.size() + encoded.size() / kLineChars * 2 + 2);
    for (std::size_t at = 0; at < encoded.size(); at += kLineChars) {
        lines.append(encoded, at, kLineChars);
        lines += "\r\n";
    }
    return sink(lines.data(), lines.size());
}
