// CDotUnstuffer: reads the body of a multi-line POP3 reply as it arrives in
// pieces: removes the stuffing dot from each line that starts with one and
// stops at the line holding a lone dot. Whatever follows that line is left
// to the caller.
#pragma once

#include <cstddef>
#include <string>

class CDotUnstuffer {
public:
    // Takes bytes up to and including the end line; the body bytes they carry
    // are appended to out. The number of bytes taken.
    std::size_t Feed(const char* data, std::size_t length, std::string& out);
    // The end line has been seen.
    bool Done() const { return done; }
    void Reset();

private:
    enum class State { LineStart, InLine, Dot, DotCr };
    State state = State::LineStart;
    bool done = false;
};
