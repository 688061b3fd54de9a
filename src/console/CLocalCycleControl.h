// CLocalCycleControl: the cycle of the server running in this process, as
// the console's windows drive it.
#pragma once

#include "console/CCycleControl.h"

class CSendReceiveCycle;

class CLocalCycleControl : public CCycleControl {
public:
    explicit CLocalCycleControl(CSendReceiveCycle& cycle) : cycle(cycle) {}

    CCycleStatus::Snapshot Status() const override;
    void SetObserver(Observer observer) override;
    void StartCycle() override;
    void CancelDial() override;
    void RequestStop() override;

private:
    CSendReceiveCycle& cycle;
};
