// StopSignal: one owner's request to stop, seen by the loops that look
// between their steps and by the blocking waits that must wake at once.
//
// Raise sets the flag and makes Fd() readable (an eventfd that poll watches
// beside a socket); it stays readable until Clear, which quiets it for the
// owner's next run. A step that may still finish after a stop (a message
// already on its way, the reply to an end of data) is given until
// GraceEnd(): kGrace after the first Raise, so a whole stop stays short
// however many such steps are in hand at once. Every member may be called
// from any thread.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/UniqueFd.h"

class StopSignal {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kGrace{3};

    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise();
    void Clear();
    bool Raised() const { return raised.load(); }
    // Readable while raised; -1 when no eventfd could be made (plain socket
    // waits then look at the flag in short slices, TLS waits only at their end).
    int Fd() const { return event.Get(); }
    // Clock::time_point::max() until raised.
    Clock::time_point GraceEnd() const;

private:
    std::atomic<bool> raised{false};
    std::atomic<Clock::rep> raisedAt{0};
    UniqueFd event;
};
