// CDotStuffer: turns a stored message, block by block, into the lines a
// POP3 multi-line answer carries.
//
// Every line ends in CR LF (a bare LF gets its CR), a line that starts with
// a dot gets a second one, and Finish ends an unfinished last line and adds
// the terminating ".". For TOP it stops after the header, the blank line
// and the given number of body lines. It keeps only a few bits of state, so
// a message of any size passes through in constant memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "ModuleVisibility.h"

class MODULE_LOCAL CDotStuffer {
public:
    static constexpr long kWholeMessage = -1;

    explicit CDotStuffer(long bodyLines = kWholeMessage) : bodyLimit(bodyLines) {}

    // Appends the wire form of block to out; false once the wanted part is
    // complete (the rest of the message need not be read).
    bool Feed(std::string_view block, std::string& out);
    // Appends the end of the answer: a CR LF for a last line without one, and ".".
    void Finish(std::string& out);

private:
    long bodyLimit;
    long bodyLines = 0;
    bool lineStart = true;
    bool lineEmpty = true;
    bool afterCr = false;
    bool inBody = false;
    bool done = false;
};
