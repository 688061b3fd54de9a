// CCycleControl: what the main window and the status window do with a send
// and receive cycle, whether the cycle runs in this process (the console of
// `velmora run`, CLocalCycleControl) or in a server the console attached to
// (`velmora console`, CRemoteCycleControl, through the control socket).
//
// The observer's calls may come from any thread; the windows post them to
// their own thread and read Status() there.
#pragma once

#include <functional>
#include <string>

#include "cycle/CCycleStatus.h"

class CCycleControl {
public:
    struct Observer {
        std::function<void()> changed;                       // the status or busy flag changed
        std::function<void(const std::string&)> dialStatus;  // a dial runs: the "Connect" dialog's line
        std::function<void()> dialEnded;                     // the link is up or the dial gave up
    };

    virtual ~CCycleControl() = default;
    // What the status window and the main window show now.
    virtual CCycleStatus::Snapshot Status() const = 0;
    // Replaces the observer (an empty one: nobody watches).
    virtual void SetObserver(Observer observer) = 0;
    // The Send/Receive command: a cycle at once unless one runs.
    virtual void StartCycle() = 0;
    // The "Connect" dialog's Cancel.
    virtual void CancelDial() = 0;
    // The status window's Stop: the running cycle skips what is left.
    virtual void RequestStop() = 0;
};
