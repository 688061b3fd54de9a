// CDataReceiver: end-of-data detection, dot removal and line-end repair
// while the message streams into its content.
#include "CDataReceiver.h"

#include "foundation/CMailContent.h"

#include <cstring>
#include <limits>

CDataReceiver::CDataReceiver(CMailContent& content, std::uint64_t maxSize)
    : content(content), maxSize(maxSize), block(kBlockSize) {}

void CDataReceiver::Emit(const char* data, std::size_t size) {
    if (overflowed || writeFailed) {
        discarded += size;
        return;
    }
    if (stored + size > maxSize) {
        // Nothing of an oversized message will be kept.
        overflowed = true;
        discarded += size;
        held = 0;
        return;
    }
    stored += size;
    while (size > 0) {
        const std::size_t room = block.size() - held;
        const std::size_t part = size < room ? size : room;
        std::memcpy(block.data() + held, data, part);
        held += part;
        data += part;
        size -= part;
        if (held == block.size()) WriteBlock();
    }
}

void CDataReceiver::WriteBlock() {
    if (held > 0 && !writeFailed && !content.Write(block.data(), static_cast<std::uint32_t>(held))) writeFailed = true;
    held = 0;
}

bool CDataReceiver::Finish() {
    if (!overflowed) WriteBlock();
    return !writeFailed;
}

std::size_t CDataReceiver::Feed(const char* data, std::size_t size) {
    static const char kCRLF[] = "\r\n";
    const char* p = data;
    const char* const end = data + size;
    auto countDot = [this] {
        if (dots < std::numeric_limits<std::int32_t>::max()) ++dots;
    };
    while (p < end && state != State::Done) {
        switch (state) {
            case State::LineStart:
                if (*p == '.') {
                    state = State::Dot;
                    ++p;
                } else {
                    state = State::Body;
                    lastWasCR = false;
                }
                break;
            case State::Dot:
                if (*p == '\r') {
                    state = State::DotCR;
                    ++p;
                } else {
                    // A transparency dot: the line's first dot is dropped.
                    countDot();
                    state = State::Body;
                    lastWasCR = false;
                }
                break;
            case State::DotCR:
                if (*p == '\n' && previousEndCRLF) {
                    state = State::Done;
                    ++p;
                    break;
                }
                // A lone "." line with a stray line end, or a dot before a CR:
                // the dot was transparency, the CR is text.
                countDot();
                Emit("\r", 1);
                state = State::Body;
                lastWasCR = true;
                break;
            case State::Body: {
                const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                if (!newline) {
                    Emit(p, static_cast<std::size_t>(end - p));
                    lastWasCR = end[-1] == '\r';
                    p = end;
                    break;
                }
                const std::size_t length = static_cast<std::size_t>(newline - p);
                const bool crBefore = length > 0 ? p[length - 1] == '\r' : lastWasCR;
                Emit(p, length);
                // A bare LF is stored as CR LF.
                Emit(crBefore ? kCRLF + 1 : kCRLF, crBefore ? 1 : 2);
                previousEndCRLF = crBefore;
                state = State::LineStart;
                p = newline + 1;
                break;
            }
            case State::Done:
                break;
        }
    }
    return static_cast<std::size_t>(p - data);
}
