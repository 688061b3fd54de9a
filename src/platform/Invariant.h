// VELMORA_INVARIANT(cond, text): a state that must never happen. In debug and
// test builds a false cond prints file:line and text and aborts, so the fault
// shows where it begins instead of as damage later; in release builds
// (NDEBUG) it is nothing, cond not even evaluated (only named, so that a
// variable kept for the check counts as used), so keep cond cheap and free
// of effects.
#pragma once

#ifndef NDEBUG
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void VelmoraInvariantFailed(const char* file, int line, const char* cond, const char* text) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, text, cond);
    std::fflush(stderr);
    std::abort();
}

#define VELMORA_INVARIANT(cond, text) \
    do { \
        if (!(cond)) VelmoraInvariantFailed(__FILE__, __LINE__, #cond, text); \
    } while (false)
#else
#define VELMORA_INVARIANT(cond, text) \
    do { \
        (void)sizeof(cond); \
    } while (false)
#endif
