// CLocalCycleControl: the console's calls passed to the in-process cycle.
#include "console/CLocalCycleControl.h"

#include "cycle/CSendReceiveCycle.h"

CCycleStatus::Snapshot CLocalCycleControl::Status() const {
    return cycle.Status();
}

void CLocalCycleControl::SetObserver(Observer observer) {
    CSendReceiveCycle::Observer watched;
    watched.changed = std::move(observer.changed);
    watched.dialStatus = std::move(observer.dialStatus);
    watched.dialEnded = std::move(observer.dialEnded);
    cycle.SetObserver(std::move(watched));
}

void CLocalCycleControl::StartCycle() {
    // At once, on the cycle's own thread: the caller never waits on its preparation.
    cycle.PostMessage(CSendReceiveCycle::kStartCycle);
}

void CLocalCycleControl::CancelDial() {
    cycle.CancelDial();
}

void CLocalCycleControl::RequestStop() {
    cycle.RequestStop();
}
