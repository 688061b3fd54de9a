// CPop3Writer: a POP3 session's output: status lines and message blocks.
//
// Output is collected and sent when it reaches a block's size or when the
// session flushes before reading the next command; the sending itself, with
// its time-out, is the shared socket writer's.
#pragma once

#include <string_view>

#include "CSocketWriter.h"
#include "ModuleVisibility.h"

class MODULE_LOCAL CPop3Writer : public CSocketWriter {
public:
    static constexpr std::size_t kFlushThreshold = 64 * 1024;

    CPop3Writer(int socket, int stopFd, int timeoutMs) : CSocketWriter(socket, stopFd, timeoutMs, kFlushThreshold) {}

    // "+OK text" or "-ERR text", CR LF.
    void Ok(std::string_view text);
    void Err(std::string_view text);
    // One line of a multi-line answer (already dot-safe), CR LF added.
    void Line(std::string_view text);
};
