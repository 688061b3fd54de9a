// CDotUnstuffer: a byte-wise state machine, so a stuffing dot or the end
// line split across two receives is still recognised.
#include "retrieval/CDotUnstuffer.h"

#include <cstring>

void CDotUnstuffer::Reset() {
    state = State::LineStart;
    done = false;
}

std::size_t CDotUnstuffer::Feed(const char* data, std::size_t length, std::string& out) {
    std::size_t i = 0;
    while (i < length && !done) {
        const char c = data[i++];
        switch (state) {
            case State::LineStart:
                if (c == '.') {
                    state = State::Dot;
                    break;
                }
                out += c;
                state = c == '\n' ? State::LineStart : State::InLine;
                break;
            case State::InLine: {
                // The rest of the line goes in one run.
                const char* end = static_cast<const char*>(std::memchr(data + i - 1, '\n', length - (i - 1)));
                const std::size_t stop = end ? static_cast<std::size_t>(end - data) + 1 : length;
                out.append(data + i - 1, stop - (i - 1));
                i = stop;
                if (end) state = State::LineStart;
                break;
            }
            case State::Dot:
                // A lone dot ends the body; some servers end that line with a bare LF.
                if (c == '\r') {
                    state = State::DotCr;
                } else if (c == '\n') {
                    done = true;
                } else {
                    out += c;  // the leading dot was stuffing
                    state = State::InLine;
                }
                break;
            case State::DotCr:
                if (c == '\n') {
                    done = true;
                } else {
                    // ".\r" and more: not the end line; the dot was stuffing.
                    out += '\r';
                    out += c;
                    state = State::InLine;
                }
                break;
        }
    }
    return i;
}
