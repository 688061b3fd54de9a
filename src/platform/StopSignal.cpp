// StopSignal: the flag, its eventfd and the grace after a stop.
#include "platform/StopSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

StopSignal::StopSignal() : event(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void StopSignal::Raise() {
    // The time first, so a waiter that sees the flag also sees when it came.
    if (!raised.load()) raisedAt.store(Clock::now().time_since_epoch().count());
    raised.store(true);
    if (event) {
        const std::uint64_t one = 1;
        // A full counter is still readable: nothing is lost when this fails.
        [[maybe_unused]] const ssize_t n = ::write(event.Get(), &one, sizeof one);
    }
}

void StopSignal::Clear() {
    raised.store(false);
    if (event) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(event.Get(), &count, sizeof count);
    }
}

StopSignal::Clock::time_point StopSignal::GraceEnd() const {
    if (!raised.load()) return Clock::time_point::max();
    return Clock::time_point(Clock::duration(raisedAt.load())) + kGrace;
}
