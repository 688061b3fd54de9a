// CDotStuffer: dot-stuffing and line ends of a streamed message.
#include "CDotStuffer.h"

bool CDotStuffer::Feed(std::string_view block, std::string& out) {
    for (char c : block) {
        if (done) return false;
        if (lineStart) {
            if (bodyLimit != kWholeMessage && inBody && bodyLines >= bodyLimit) {
                done = true;
                return false;
            }
            if (c == '.') out += '.';
            lineStart = false;
            lineEmpty = true;
        }
        if (c == '\n') {
            if (!afterCr) out += '\r';
            out += '\n';
            if (inBody)
                ++bodyLines;
            else if (lineEmpty)
                inBody = true;  // the blank line that ends the header
            lineStart = true;
            afterCr = false;
            continue;
        }
        if (afterCr) lineEmpty = false;  // a CR inside a line is text
        out += c;
        afterCr = c == '\r';
        if (c != '\r') lineEmpty = false;
    }
    return !done;
}

void CDotStuffer::Finish(std::string& out) {
    if (!lineStart && !done) {
        if (!afterCr) out += '\r';
        out += '\n';
    }
    out += ".\r\n";
}
